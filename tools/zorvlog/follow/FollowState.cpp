#include "follow/FollowState.h"

#include "output/TerminalText.h"
#include "read/RotationNames.h"

#include <DirectoryPolicy.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

namespace zorvlog {

namespace {

// Formats 1 and 2 (still read): a header line "zorvlog follow state 2 LENGTH
// CRC" (8 hex digits each) for the lines after it, then one line per
// generation with every number in fixed width: "c" for the one read or "w"
// for one watched for late writes, device, inode, identity, offset, lines,
// CRC, CRC of the head, the file's owner, the log's path. The first format
// had no role and no head.
//
// Formats 3 and 4: a header of kHeader bytes, "zorvlog follow state 4 SIZE"
// padded with spaces to a newline, then two copies of SIZE bytes each. A
// copy is a line "SEQUENCE LENGTH CRC" (16, 8 and 8 hex digits) and LENGTH
// bytes of lines; the CRC-32 is of the line's first two numbers and the
// lines. The newest whole copy is the state; a save overwrites the other.
// Format 3 holds the lines of format 2. Format 4 holds, in fixed width:
//   o CONDITION SINCE SAVED WHY       the output: "t" taking, "r" retrying
//   l LASTOUT BEHIND DAMAGE GAPS LOG  what a status report shows of a log
//   R DEV INO ID OFFSET LINES CRC HEAD OWNER PRINT PRINTLENGTH WINDOWCRC
//     WINDOW LOG                      a generation: R is "c", "w" or "p"
// (times in microseconds since the epoch; WHY escaped as a log's path, cut
// at kWhy bytes and padded with spaces).
const char kMagic[] = "zorvlog follow state ";
const char kVersion = '4';
const std::size_t kHeader = 64;
const std::size_t kCopyLine = 16 + 1 + 8 + 1 + 8 + 1;
const std::size_t kWhy = 160;
// A copy larger than this in a file is not read (it would take a large part
// of follow's memory bound); thousands of logs fit in it.
const std::uint64_t kMaxSlot = 8u << 20;

std::uint32_t crcOf(const std::string& text) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())));
}

// A log's path with the two bytes that would break its line escaped.
std::string escapePath(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '%') {
            out += "%25";
        } else if (c == '\n') {
            out += "%0A";
        } else {
            out += c;
        }
    }
    return out;
}

std::string unescapePath(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && text.compare(i, 3, "%25") == 0) {
            out += '%';
            i += 2;
        } else if (text[i] == '%' && text.compare(i, 3, "%0A") == 0) {
            out += '\n';
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

bool parseLine(const std::string& line, char version, std::string& log, FollowPosition& p) {
    std::string text = line;
    if (version != '1') {
        if (text.size() < 2 || (text[0] != 'c' && text[0] != 'w' && text[0] != 'p') ||
            (text[0] == 'p' && version != '4') || text[1] != ' ') {
            return false;
        }
        p.watched = text[0] == 'w';
        p.previous = text[0] == 'p';
        text.erase(0, 2);
    }
    char id[17] = {0};
    std::uint64_t dev = 0, ino = 0, offset = 0, number = 0, print = 0;
    unsigned crc = 0, head = 0, owner = 0, printLength = 0, windowCrc = 0, window = 0;
    int consumed = 0;
    if (version == '1') {
        if (std::sscanf(text.c_str(),
                        "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64 " %8x %n", &dev,
                        &ino, id, &offset, &number, &crc, &consumed) != 6) {
            return false;
        }
        p.headKnown = p.ownerKnown = false;
    } else if (version != '4' &&
               std::sscanf(text.c_str(),
                           "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64
                           " %8x %8x %8x %n",
                           &dev, &ino, id, &offset, &number, &crc, &head, &owner, &consumed) != 8) {
        return false;
    } else if (version == '4' &&
               std::sscanf(text.c_str(),
                           "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64
                           " %8x %8x %8x %16" SCNx64 " %8x %8x %8x %n",
                           &dev, &ino, id, &offset, &number, &crc, &head, &owner, &print,
                           &printLength, &windowCrc, &window, &consumed) != 12) {
        return false;
    }
    if (consumed == 0) {
        return false;
    }
    p.dev = dev;
    p.ino = ino;
    p.id = std::strcmp(id, "----------------") == 0 ? "" : id;
    p.offset = offset;
    p.line = number;
    p.crc = crc;
    p.head = head;
    p.owner = owner;
    p.print = print;
    p.printLength = printLength;
    p.windowCrc = windowCrc;
    p.window = window;
    log = unescapePath(text.substr(static_cast<std::size_t>(consumed)));
    return !log.empty();
}

void appendHex(std::string& out, std::uint64_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        out += kDigits[(value >> shift) & 0xf];
    }
    out += ' ';
}

// The line of one generation, every number in fixed width.
void appendEntry(std::string& out, const FollowPosition& p, const std::string& escapedLog) {
    out += p.previous ? "p " : p.watched ? "w " : "c ";
    appendHex(out, p.dev, 16);
    appendHex(out, p.ino, 16);
    std::string id = p.id.empty() ? "----------------" : p.id.substr(0, 16);
    id.resize(16, '-');
    out += id;
    out += ' ';
    appendHex(out, p.offset, 16);
    appendHex(out, p.line, 16);
    appendHex(out, p.crc, 8);
    appendHex(out, p.head, 8);
    appendHex(out, p.owner, 8);
    appendHex(out, p.print, 16);
    appendHex(out, p.printLength, 8);
    appendHex(out, p.windowCrc, 8);
    appendHex(out, p.window, 8);
    out += escapedLog;
    out += '\n';
}

void appendStatus(std::string& out, const LogStatus& status, const std::string& escapedLog) {
    out += "l ";
    appendHex(out, status.lastOut, 16);
    appendHex(out, status.behind, 16);
    appendHex(out, status.damage, 8);
    appendHex(out, status.gaps, 8);
    out += escapedLog;
    out += '\n';
}

bool parseStatus(const std::string& line, std::string& log, LogStatus& status) {
    unsigned long long lastOut = 0, behind = 0;
    unsigned damage = 0, gaps = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "l %16llx %16llx %8x %8x %n", &lastOut, &behind, &damage, &gaps,
                    &consumed) != 4 ||
        consumed == 0) {
        return false;
    }
    status.lastOut = lastOut;
    status.behind = behind;
    status.damage = damage;
    status.gaps = gaps;
    log = unescapePath(line.substr(static_cast<std::size_t>(consumed)));
    return !log.empty();
}

std::uint64_t microsecondsNow() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

void appendOutput(std::string& out, const OutputStatus& output) {
    out += output.taking ? "o t " : "o r ";
    appendHex(out, output.since, 16);
    appendHex(out, microsecondsNow(), 16);
    std::string why = escapePath(output.why).substr(0, kWhy);
    why.resize(kWhy, ' ');
    out += why;
    out += '\n';
}

bool parseOutput(const std::string& line, OutputStatus& output) {
    unsigned long long since = 0, saved = 0;
    char condition = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "o %c %16llx %16llx %n", &condition, &since, &saved, &consumed) !=
            3 ||
        consumed == 0 || (condition != 't' && condition != 'r')) {
        return false;
    }
    output.taking = condition == 't';
    output.since = since;
    std::string why = line.substr(static_cast<std::size_t>(consumed));
    why.erase(why.find_last_not_of(' ') + 1);
    output.why = unescapePath(why);
    return true;
}

// The room of one copy for these logs: the output's line, and each log with
// its status, the generation read, the one before it and every one it may
// watch.
std::uint64_t slotSizeFor(const std::vector<std::string>& logs) {
    std::string fixed, status, output;
    appendEntry(fixed, FollowPosition(), std::string());
    appendStatus(status, LogStatus(), std::string());
    appendOutput(output, OutputStatus());
    std::uint64_t size = kCopyLine + output.size();
    for (const std::string& log : logs) {
        const std::size_t path = escapePath(log).size();
        size += (2 + FollowState::kMaxWatched) * (fixed.size() + path) + status.size() + path;
    }
    return size;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    if (slash == std::string::npos) {
        return {".", path};
    }
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// The directory as it resolves (links and "." and ".." followed), else as spelled.
std::string resolved(const std::string& dir) {
    char* real = ::realpath(dir.c_str(), nullptr);
    if (real == nullptr) {
        return dir;
    }
    std::string out = real;
    std::free(real);
    return out;
}

bool sameFile(const struct stat& x, const std::string& other) {
    struct stat y;
    return ::stat(other.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

bool writeAll(int fd, const char* data, std::size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = ::pwrite(fd, data, size, at);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        at += n;
    }
    return true;
}

} // namespace

FollowState::~FollowState() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

std::string FollowState::earlierDefault(const std::vector<std::string>& logs) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/') {
        dir = std::string(state) + "/zorv";
    } else if (home != nullptr && home[0] == '/') {
        dir = std::string(home) + "/.local/state/zorv";
    } else {
        return std::string();
    }
    std::string joined;
    for (const std::string& log : logs) {
        joined += log + '\n';
    }
    char name[64];
    std::snprintf(name, sizeof name, "/follow-%08x%08x.state", crcOf(joined),
                  crcOf(std::to_string(logs.size()) + joined));
    struct stat st;
    // Only a file this user could have left there is worth naming.
    if (::lstat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_uid != ::geteuid()) {
        return std::string();
    }
    return dir + name;
}

bool FollowState::refused(const std::string& path, const std::vector<std::string>& logs,
                          std::string& error) const {
    const auto state = splitPath(path);
    const std::string stateDir = resolved(state.first);
    struct stat st;
    const bool exists = ::lstat(path.c_str(), &st) == 0;
    struct stat target;
    const bool reaches = ::stat(path.c_str(), &target) == 0;
    for (const std::string& log : logs) {
        // The log as named and, when it is a link, the file it names.
        std::vector<std::pair<std::string, std::string>> places{splitPath(log)};
        places[0].first = resolved(places[0].first);
        char* real = ::realpath(log.c_str(), nullptr);
        if (real != nullptr) {
            places.push_back(splitPath(real));
            std::free(real);
        }
        bool isLog = reaches && sameFile(target, log);
        bool isGeneration = false;
        for (const auto& place : places) {
            RotatedName rotated;
            isLog = isLog || (stateDir == place.first && state.second == place.second);
            isGeneration = isGeneration || (stateDir == place.first &&
                                            parseRotatedName(place.second, state.second, &rotated));
        }
        for (const RotatedFile& file :
             exists ? rotatedFiles(log, nullptr) : std::vector<RotatedFile>()) {
            isGeneration = isGeneration || sameFile(st, file.path);
        }
        if (isLog) {
            error = "--state " + path + " is one of the LOGFILEs; name a file of its own";
            return true;
        }
        if (isGeneration) {
            error = "--state " + path + " is named as a rotated file of " + log +
                    "; name a file of its own";
            return true;
        }
    }
    if ((exists && !S_ISREG(st.st_mode)) || state.second.empty() || state.second == "." ||
        state.second == "..") {
        error = "--state " + path + " is not a regular file; name a file of its own";
        return true;
    }
    return false;
}

bool FollowState::open(const std::string& path, const std::vector<std::string>& logs,
                       std::string& error) {
    mPath = path;
    if (refused(path, logs, error)) {
        return false;
    }
    std::string dir = path.substr(0, path.rfind('/'));
    std::string why;
    if (!zorv_detail::directoryAllowed(dir.empty() ? "/" : dir, zorv_detail::DirectoryUse::UserData,
                                       &why)) {
        error = "the state file's directory " + dir + " " + why;
        return false;
    }
    struct stat st;
    // A follower that lays the state out anew puts the new file in the old
    // one's place and then lets go of the old one's lock: a lock taken on a
    // file no longer at the path guards nothing, so the one there is opened
    // again.
    for (int attempt = 0;; ++attempt) {
        // Never blocks: what lies at the path is looked at before it is read.
        mFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (mFd < 0 || ::fstat(mFd, &st) != 0 || !S_ISREG(st.st_mode)) {
            error = "cannot use " + path + " as the state file: " +
                    (mFd < 0 ? std::strerror(errno) : "not a regular file");
            return false;
        }
        if (::flock(mFd, LOCK_EX | LOCK_NB) != 0) {
            error = "the state file " + path +
                    " is in use by another zorvlog follow; give each follower a --state of its own";
            return false;
        }
        struct stat there;
        if (::lstat(path.c_str(), &there) == 0 && there.st_dev == st.st_dev &&
            there.st_ino == st.st_ino) {
            break;
        }
        ::close(mFd);
        mFd = -1;
        if (attempt == 8) {
            error = "the state file " + path + " keeps being replaced by another zorvlog follow";
            return false;
        }
    }
    if (slotSizeFor(logs) > kMaxSlot) {
        error = "too many LOGFILEs for one state file; follow them in groups";
        return false;
    }
    char magic[sizeof kMagic] = {0};
    const ssize_t got = ::pread(mFd, magic, sizeof magic, 0);
    if (got <= 0 && st.st_size == 0) {
        // New: nothing to keep while it is laid out.
        return lay(mFd, slotSizeFor(logs), error);
    }
    if (got != static_cast<ssize_t>(sizeof magic) ||
        std::memcmp(magic, kMagic, sizeof kMagic - 1) != 0) {
        error = "--state " + path +
                " holds something other than a state of zorvlog follow; name another file";
        return false;
    }
    bool whole = true;
    const char version = magic[sizeof kMagic - 1];
    if (version == kVersion || version == '3') {
        // Format 3 holds the lines of format 2; it is laid out anew below.
        whole = readSlots(version == '3' ? '2' : version, why);
        mSlotSize = version == kVersion ? mSlotSize : 0;
    } else {
        std::string text;
        char buffer[4096];
        for (ssize_t n; text.size() < kMaxSlot && (n = ::read(mFd, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(n));
        }
        whole = readOld(text);
        mSlotSize = 0;
    }
    if (!whole) {
        std::fprintf(stderr,
                     "zorvlog follow: the state file %s does not read back whole; the logs are "
                     "read from their starts\n",
                     forTerminal(path).c_str());
    }
    const std::uint64_t needed = slotSizeFor(logs);
    if (mSlotSize >= needed) {
        const int failed = ::posix_fallocate(mFd, 0, static_cast<off_t>(kHeader + 2 * mSlotSize));
        if (failed != 0) {
            error = "cannot keep room for the state file " + path + ": " + std::strerror(failed);
            return false;
        }
        return true;
    }
    Positions kept;
    std::vector<LogStatus> statuses;
    for (const std::string& log : logs) {
        if (const std::vector<FollowPosition>* positions = find(log)) {
            kept.emplace_back(log, *positions);
            statuses.push_back(status(log));
        }
    }
    return layAnew(needed, kept, statuses, error);
}

bool FollowState::grow(const std::vector<std::string>& logs, const Positions& positions,
                       const std::vector<LogStatus>& statuses, std::string& error) {
    const std::uint64_t needed = slotSizeFor(logs);
    if (needed <= mSlotSize) {
        return true;
    }
    if (needed > kMaxSlot) {
        error = "too many logs for one state file; follow them in groups";
        return false;
    }
    return layAnew(needed, positions, statuses, error);
}

// An older format, or more logs than its room: laid out anew beside it and
// put in its place, so that the state kept stays whole until then. The new
// file is locked before it can be found.
bool FollowState::layAnew(std::uint64_t needed, const Positions& kept,
                          const std::vector<LogStatus>& statuses, std::string& error) {
    const std::string& path = mPath;
    const std::uint64_t slotSize = mSlotSize;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        error = "cannot make a new state file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    bool laid = lay(fd, needed, error);
    if (laid && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !writeSlot(fd, kept, statuses, mOutput) ||
                 ::fsync(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)) {
        error = "cannot write a new state file beside " + path + ": " + std::strerror(errno);
        laid = false;
    }
    if (!laid) {
        ::unlink(temporary.c_str());
        ::close(fd);
        mSlotSize = slotSize; // the file in use keeps its layout
        return false;
    }
    ::close(mFd);
    mFd = fd;
    mSequence = 1;
    mSlot = 1;
    return true;
}

bool FollowState::lay(int fd, std::uint64_t slotSize, std::string& error) {
    char header[kHeader];
    std::memset(header, ' ', sizeof header);
    const int used =
        std::snprintf(header, sizeof header, "%s%c %08" PRIx64, kMagic, kVersion, slotSize);
    header[used] = ' ';
    header[kHeader - 1] = '\n';
    const int failed = ::posix_fallocate(fd, 0, static_cast<off_t>(kHeader + 2 * slotSize));
    if (failed != 0 || !writeAll(fd, header, sizeof header, 0)) {
        const int why = failed != 0 ? failed : errno;
        // Left empty, it reads as no state next time.
        if (::ftruncate(fd, 0) != 0) {
            // Nothing more to do: the reason below is the one to give.
        }
        error = "cannot keep room for the state file " + mPath + ": " + std::strerror(why);
        return false;
    }
    mSlotSize = slotSize;
    mSequence = 0;
    mSlot = 0;
    return true;
}

bool FollowState::readSlots(char version, std::string& why) {
    char header[kHeader + 1] = {0};
    unsigned long long size = 0;
    if (::pread(mFd, header, kHeader, 0) != static_cast<ssize_t>(kHeader) ||
        std::sscanf(header + sizeof kMagic + 1, "%16llx", &size) != 1 || size < kCopyLine ||
        size > kMaxSlot) {
        why = "header";
        return false;
    }
    mSlotSize = size;
    bool written = false, found = false;
    std::string text;
    for (int slot = 0; slot < 2; ++slot) {
        text.assign(mSlotSize, '\0');
        const off_t at = static_cast<off_t>(kHeader + slot * mSlotSize);
        const ssize_t n = ::pread(mFd, &text[0], text.size(), at);
        text.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
        written = written || text.find_first_not_of('\0') != std::string::npos;
        unsigned long long sequence = 0;
        unsigned length = 0, crc = 0;
        char separator = 0;
        if (text.size() < kCopyLine ||
            std::sscanf(text.c_str(), "%16llx %8x %8x%c", &sequence, &length, &crc, &separator) !=
                4 ||
            separator != '\n' || kCopyLine + length > text.size() ||
            (found && sequence <= mSequence)) {
            continue;
        }
        std::uint32_t sum = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(text.data()), kCopyLine - 9));
        sum = static_cast<std::uint32_t>(
            crc32(sum, reinterpret_cast<const Bytef*>(text.data() + kCopyLine), length));
        std::map<std::string, std::vector<FollowPosition>> loaded;
        std::map<std::string, LogStatus> statuses;
        OutputStatus output;
        bool parsed = sum == crc;
        for (std::size_t at = kCopyLine; parsed && at < kCopyLine + length;) {
            const std::size_t end = text.find('\n', at);
            const std::string line =
                end < kCopyLine + length ? text.substr(at, end - at) : std::string();
            std::string log;
            FollowPosition position;
            LogStatus status;
            if (version == kVersion && line.compare(0, 2, "o ") == 0) {
                parsed = parseOutput(line, output);
            } else if (version == kVersion && line.compare(0, 2, "l ") == 0) {
                parsed = parseStatus(line, log, status);
                statuses[log] = status;
            } else {
                parsed = parseLine(line, version, log, position);
                loaded[log].push_back(position);
            }
            at = end + 1;
        }
        if (parsed) {
            found = true;
            mSequence = sequence;
            mSlot = 1 - slot;
            mLoaded = std::move(loaded);
            mStatus = std::move(statuses);
            mOutput = output;
        }
    }
    return found || !written;
}

bool FollowState::readOld(const std::string& text) {
    const char version = text.size() > sizeof kMagic ? text[sizeof kMagic - 1] : 0;
    unsigned length = 0, crc = 0;
    const std::size_t header = text.find('\n');
    bool whole = (version == '1' || version == '2') && header != std::string::npos &&
                 std::sscanf(text.c_str() + sizeof kMagic + 1, "%8x %8x", &length, &crc) == 2 &&
                 header + 1 + length <= text.size() &&
                 crcOf(text.substr(header + 1, length)) == crc;
    std::map<std::string, std::vector<FollowPosition>> loaded;
    for (std::size_t at = header + 1; whole && at < header + 1 + length;) {
        const std::size_t end = text.find('\n', at);
        std::string log;
        FollowPosition position;
        whole = end != std::string::npos &&
                parseLine(text.substr(at, end - at), version, log, position);
        loaded[log].push_back(position);
        at = end + 1;
    }
    if (whole) {
        mLoaded = std::move(loaded);
    }
    return whole;
}

const std::vector<FollowPosition>* FollowState::find(const std::string& log) const {
    auto it = mLoaded.find(log);
    return it == mLoaded.end() ? nullptr : &it->second;
}

LogStatus FollowState::status(const std::string& log) const {
    auto it = mStatus.find(log);
    return it == mStatus.end() ? LogStatus() : it->second;
}

bool FollowState::writeSlot(int fd, const Positions& positions,
                            const std::vector<LogStatus>& statuses, const OutputStatus& output) {
    // Saved once per batch of records: the lines are made by hand into a
    // buffer kept from save to save, and one write puts them in place.
    mText.assign(kCopyLine, ' ');
    appendOutput(mText, output);
    for (std::size_t i = 0; i < positions.size(); ++i) {
        const auto& log = positions[i];
        const std::string escaped = escapePath(log.first);
        appendStatus(mText, i < statuses.size() ? statuses[i] : LogStatus(), escaped);
        std::size_t watched = 0;
        for (const FollowPosition& p : log.second) {
            watched += p.watched ? 1 : 0;
        }
        // The oldest watched ones beyond the room are left out.
        std::size_t skip = watched > kMaxWatched ? watched - kMaxWatched : 0;
        for (const FollowPosition& p : log.second) {
            if (p.watched && skip > 0) {
                --skip;
                continue;
            }
            appendEntry(mText, p, escaped);
        }
    }
    if (mText.size() > mSlotSize) {
        errno = EFBIG; // more logs than the room was taken for
        return false;
    }
    const std::uint64_t sequence = mSequence + 1;
    char line[kCopyLine + 1];
    std::snprintf(line, sizeof line, "%016" PRIx64 " %08zx ", sequence, mText.size() - kCopyLine);
    std::uint32_t sum =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(line), kCopyLine - 9));
    sum = static_cast<std::uint32_t>(crc32(sum,
                                           reinterpret_cast<const Bytef*>(mText.data() + kCopyLine),
                                           static_cast<uInt>(mText.size() - kCopyLine)));
    std::snprintf(line + kCopyLine - 9, 10, "%08x\n", sum);
    mText.replace(0, kCopyLine, line, kCopyLine);
    if (!writeAll(fd, mText.data(), mText.size(),
                  static_cast<off_t>(kHeader + static_cast<std::uint64_t>(mSlot) * mSlotSize))) {
        return false;
    }
    // Only a whole copy moves the next save to the other one: the newest
    // whole state is never the one overwritten.
    mSequence = sequence;
    mSlot = 1 - mSlot;
    return true;
}

bool FollowState::save(const Positions& positions, const std::vector<LogStatus>& statuses,
                       const OutputStatus& output) {
    if (writeSlot(mFd, positions, statuses, output)) {
        return true;
    }
    mError = errno;
    if (!mWarned) {
        mWarned = true;
        std::fprintf(stderr,
                     "zorvlog follow: cannot write the state file %s: %s (the state saved before "
                     "is kept; a restart will repeat the records since)\n",
                     forTerminal(mPath).c_str(), std::strerror(mError));
    }
    return false;
}

} // namespace zorvlog
