#include "follow/FollowState.h"

#include "output/TerminalText.h"
#include "read/RotationNames.h"

#include <DirectoryPolicy.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <string_view>
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
// An area is two copies of one size. A copy is a line "SEQUENCE LENGTH CRC"
// (16, 8 and 8 hex digits) and LENGTH bytes of lines; the CRC-32 is of the
// line's first two numbers and the lines. The newest whole copy is what the
// area holds; a write overwrites the other.
//
// Format 3: a header of kHeader bytes, "zorvlog follow state 3 SIZE" padded
// with spaces to a newline, then one area of copies of SIZE bytes holding
// the lines of format 2.
//
// Format 4: the header "zorvlog follow state 4 SIZE COUNT", then the
// output's area and COUNT areas of one log each (copies of SIZE bytes), so
// that a save writes only the logs that changed. They hold, in fixed width:
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

// One field of a state line: a number in hexadecimal of a fixed width, or a
// word already cut and padded to its width.
struct Field {
    Field(std::uint64_t number, int width) : value(number), digits(width) {}
    Field(std::string_view text) : word(text) {}
    std::uint64_t value = 0;
    int digits = 0;
    std::string_view word;
};

// A line of the state: its tag, each field followed by a space, then its
// tail (a log's escaped path, or the output's reason).
void appendLine(std::string& out, std::string_view tag, std::initializer_list<Field> fields,
                std::string_view tail) {
    static const char kDigits[] = "0123456789abcdef";
    out += tag;
    out += ' ';
    for (const Field& field : fields) {
        out += field.word;
        for (int shift = 4 * (field.digits - 1); shift >= 0; shift -= 4) {
            out += kDigits[(field.value >> shift) & 0xf];
        }
        out += ' ';
    }
    out += tail;
    out += '\n';
}

// The line of one generation.
void appendEntry(std::string& out, const FollowPosition& p, const std::string& escapedLog) {
    std::string id = p.id.empty() ? "----------------" : p.id.substr(0, 16);
    id.resize(16, '-');
    const char* role = p.previous ? "p" : p.watched ? "w" : "c";
    appendLine(out, role,
               {{p.dev, 16},
                {p.ino, 16},
                {id},
                {p.offset, 16},
                {p.line, 16},
                {p.crc, 8},
                {p.head, 8},
                {p.owner, 8},
                {p.print, 16},
                {p.printLength, 8},
                {p.windowCrc, 8},
                {p.window, 8}},
               escapedLog);
}

void appendStatus(std::string& out, const LogStatus& status, const std::string& escapedLog) {
    appendLine(out, "l",
               {{status.lastOut, 16}, {status.behind, 16}, {status.damage, 8}, {status.gaps, 8}},
               escapedLog);
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

void appendOutput(std::string& out, const OutputStatus& output) {
    std::string why = escapePath(output.why).substr(0, kWhy);
    why.resize(kWhy, ' ');
    appendLine(out, output.taking ? "o t" : "o r", {{output.since, 16}, {stateTimeNow(), 16}}, why);
}

bool parseOutput(const std::string& line, OutputStatus& output, std::uint64_t& saved) {
    unsigned long long since = 0, savedAt = 0;
    char condition = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(), "o %c %16llx %16llx %n", &condition, &since, &savedAt,
                    &consumed) != 3 ||
        consumed == 0 || (condition != 't' && condition != 'r')) {
        return false;
    }
    output.taking = condition == 't';
    output.since = since;
    saved = savedAt;
    std::string why = line.substr(static_cast<std::size_t>(consumed));
    why.erase(why.find_last_not_of(' ') + 1);
    output.why = unescapePath(why);
    return true;
}

// The room of one copy of the output's area.
std::uint64_t outputCopySize() {
    std::string output;
    appendOutput(output, OutputStatus());
    return kCopyLine + output.size();
}

// The room of one copy of a log's area, the same for every log of a state:
// the log's status, the generation read, the one before it and every one it
// may watch, for the longest path.
std::uint64_t logCopySizeFor(const std::vector<std::string>& logs) {
    std::string fixed, status;
    appendEntry(fixed, FollowPosition(), std::string());
    appendStatus(status, LogStatus(), std::string());
    std::size_t longest = 0;
    for (const std::string& log : logs) {
        longest = std::max(longest, escapePath(log).size());
    }
    return kCopyLine + (2 + FollowState::kMaxWatched) * (fixed.size() + longest) + status.size() +
           longest;
}

std::pair<std::string, std::string> splitPath(const std::string& path) {
    return {zorv_detail::directoryOf(path), std::string(zorv_detail::lastComponentOf(path))};
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

} // namespace

std::uint64_t stateTimeNow() {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(now.tv_nsec) / 1000u;
}

FollowState::~FollowState() {
    if (mFd >= 0) {
        ::close(mFd);
    }
}

std::string FollowState::earlierDefault(const std::vector<std::string>& logs) {
    const char* state = zorv_detail::environmentValue("XDG_STATE_HOME");
    const char* home = zorv_detail::environmentValue("HOME");
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
    std::string dir = zorv_detail::directoryOf(path);
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
    if (logs.size() * logCopySizeFor(logs) > kMaxSlot) {
        error = "too many LOGFILEs for one state file; follow them in groups";
        return false;
    }
    if (st.st_size == 0) {
        // New: nothing to keep while it is laid out.
        return lay(mFd, logs, error);
    }
    const int got = readBody(st, why);
    if (got < 0) {
        error = "--state " + path +
                " holds something other than a state of zorvlog follow; name another file";
        return false;
    }
    if (got == 0) {
        std::fprintf(stderr,
                     "zorvlog follow: the state file %s does not read back whole; the logs it "
                     "holds no whole position for are read from their starts\n",
                     forTerminal(path).c_str());
    }
    mSlotSize = mFormat == kVersion ? mSlotSize : 0;
    const std::uint64_t needed = logCopySizeFor(logs);
    if (mFormat == kVersion && mSlotSize >= needed && placeLogs(logs)) {
        const int failed = ::posix_fallocate(mFd, 0, static_cast<off_t>(fileSize()));
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
    return layAnew(logs, kept, statuses, error);
}

bool FollowState::grow(const std::vector<std::string>& logs, const Positions& positions,
                       const std::vector<LogStatus>& statuses, std::string& error) {
    if (logs.size() * logCopySizeFor(logs) > kMaxSlot) {
        error = "too many logs for one state file; follow them in groups";
        return false;
    }
    // A log that leaves takes its area's copies with it only in a new
    // layout; one that comes takes a free area when there is one.
    bool leaving = false;
    for (const auto& area : mAreaOf) {
        leaving = leaving || std::find(logs.begin(), logs.end(), area.first) == logs.end();
    }
    if (!leaving && mSlotSize >= logCopySizeFor(logs) && placeLogs(logs)) {
        return true;
    }
    return layAnew(logs, positions, statuses, error);
}

// An older format, or more logs or longer paths than its room: laid out anew
// beside it and put in its place, so that the state kept stays whole until
// then. The new file is locked before it can be found.
bool FollowState::layAnew(const std::vector<std::string>& logs, const Positions& kept,
                          const std::vector<LogStatus>& statuses, std::string& error) {
    const std::string& path = mPath;
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        error = "cannot make a new state file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    // The file in use keeps its layout should the new one fail.
    const std::uint64_t slotSize = mSlotSize;
    const std::vector<Area> areas = mAreas;
    const std::map<std::string, std::size_t> areaOf = mAreaOf;
    bool laid = lay(fd, logs, error);
    const OutputStatus output = mOutputWritten ? mWrittenOutput : mOutput;
    bool written = laid && ::flock(fd, LOCK_EX | LOCK_NB) == 0 && writeOutput(fd, output);
    for (std::size_t i = 0; written && i < kept.size(); ++i) {
        if (mAreaOf.count(kept[i].first) == 0) {
            continue; // a log that leaves the state, or one not saved yet
        }
        written = writeLog(fd, kept[i].first, kept[i].second,
                           i < statuses.size() ? statuses[i] : LogStatus());
    }
    if (laid && (!written || ::fsync(fd) != 0 || ::rename(temporary.c_str(), path.c_str()) != 0)) {
        error = "cannot write a new state file beside " + path + ": " + std::strerror(errno);
        laid = false;
    }
    if (!laid) {
        ::unlink(temporary.c_str());
        ::close(fd);
        mSlotSize = slotSize;
        mAreas = areas;
        mAreaOf = areaOf;
        return false;
    }
    ::close(mFd);
    mFd = fd;
    mWrittenOutput = output;
    mOutputWritten = true;
    return true;
}

int FollowState::readBody(const struct stat& st, std::string& why) {
    char magic[sizeof kMagic] = {0};
    if (::pread(mFd, magic, sizeof magic, 0) != static_cast<ssize_t>(sizeof magic) ||
        std::memcmp(magic, kMagic, sizeof kMagic - 1) != 0) {
        return -1;
    }
    mFormat = magic[sizeof kMagic - 1];
    mSavedAt = static_cast<std::uint64_t>(st.st_mtim.tv_sec) * 1000000u +
               static_cast<std::uint64_t>(st.st_mtim.tv_nsec) / 1000u;
    if (mFormat == kVersion || mFormat == '3') {
        return readAreas(why) ? 1 : 0;
    }
    std::string text;
    char buffer[4096];
    for (ssize_t n; text.size() < kMaxSlot && (n = ::pread(mFd, buffer, sizeof buffer,
                                                           static_cast<off_t>(text.size()))) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    return readOld(text) ? 1 : 0;
}

bool FollowState::read(const std::string& path, std::string& error) {
    mPath = path;
    mFd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    struct stat st;
    if (mFd < 0 || ::fstat(mFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot read the state file " + path + ": " +
                (mFd < 0 ? std::strerror(errno) : "not a regular file");
        return false;
    }
    const uid_t me = ::geteuid();
    if (me != 0 && st.st_uid != me && st.st_uid != 0) {
        error = "the state file " + path + " belongs to another user; only root reads it";
        return false;
    }
    // A follower may be overwriting a copy meanwhile: the other one is whole
    // unless two saves passed during the read, so a few reads settle it.
    std::string why;
    int whole = 0;
    for (int attempt = 0; attempt < 4 && whole == 0; ++attempt) {
        whole = st.st_size == 0 ? 0 : readBody(st, why);
    }
    if (whole < 0 || st.st_size == 0) {
        error = path + " holds no state of zorvlog follow";
        return false;
    }
    if (whole == 0) {
        error = "the state file " + path + " does not read back whole";
        return false;
    }
    return true;
}

std::uint64_t FollowState::areaAt(std::size_t area) const {
    return area == 0 ? kHeader : kHeader + 2 * outputCopySize() + 2 * (area - 1) * mSlotSize;
}

std::uint64_t FollowState::fileSize() const {
    return areaAt(mAreas.size());
}

bool FollowState::lay(int fd, const std::vector<std::string>& logs, std::string& error) {
    mSlotSize = logCopySizeFor(logs);
    mAreas.assign(logs.size() + 1, Area());
    mAreaOf.clear();
    for (std::size_t i = 0; i < logs.size(); ++i) {
        mAreaOf[logs[i]] = i + 1;
    }
    char header[kHeader];
    std::memset(header, ' ', sizeof header);
    const int used = std::snprintf(header, sizeof header, "%s%c %08" PRIx64 " %08zx", kMagic,
                                   kVersion, mSlotSize, logs.size());
    header[used] = ' ';
    header[kHeader - 1] = '\n';
    const int failed = ::posix_fallocate(fd, 0, static_cast<off_t>(fileSize()));
    if (failed != 0 || !zorv_detail::writeAllAt(fd, header, sizeof header, 0)) {
        const int why = failed != 0 ? failed : errno;
        // Left empty, it reads as no state next time.
        if (::ftruncate(fd, 0) != 0) {
            // Nothing more to do: the reason below is the one to give.
        }
        error = "cannot keep room for the state file " + mPath + ": " + std::strerror(why);
        return false;
    }
    return true;
}

bool FollowState::placeLogs(const std::vector<std::string>& logs) {
    std::map<std::string, std::size_t> placed;
    std::vector<bool> taken(mAreas.size(), false);
    for (const std::string& log : logs) {
        auto it = mAreaOf.find(log);
        if (it != mAreaOf.end()) {
            placed[log] = it->second;
            taken[it->second] = true;
        }
    }
    // A log new to the state takes an area no log given holds.
    std::size_t free = 1;
    for (const std::string& log : logs) {
        if (placed.count(log) != 0) {
            continue;
        }
        while (free < taken.size() && taken[free]) {
            ++free;
        }
        if (free == taken.size()) {
            return false;
        }
        placed[log] = free;
        taken[free] = true;
    }
    mAreaOf = std::move(placed);
    return true;
}

int FollowState::readArea(std::size_t area, std::uint64_t copySize, char version,
                          std::string& log) {
    std::map<std::string, std::vector<FollowPosition>> loaded;
    std::map<std::string, LogStatus> statuses;
    OutputStatus output;
    std::uint64_t saved = mSavedAt, newest = 0;
    bool written = false, found = false;
    std::string text;
    for (int slot = 0; slot < 2; ++slot) {
        text.assign(copySize, '\0');
        const off_t at = static_cast<off_t>(areaAt(area) + slot * copySize);
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
            (found && sequence <= newest)) {
            continue;
        }
        std::uint32_t sum = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(text.data()), kCopyLine - 9));
        sum = static_cast<std::uint32_t>(
            crc32(sum, reinterpret_cast<const Bytef*>(text.data() + kCopyLine), length));
        std::map<std::string, std::vector<FollowPosition>> copyLoaded;
        std::map<std::string, LogStatus> copyStatuses;
        OutputStatus copyOutput;
        std::uint64_t copySaved = saved;
        std::string copyLog;
        bool parsed = sum == crc;
        for (std::size_t at = kCopyLine; parsed && at < kCopyLine + length;) {
            const std::size_t end = text.find('\n', at);
            const std::string line =
                end < kCopyLine + length ? text.substr(at, end - at) : std::string();
            FollowPosition position;
            LogStatus status;
            if (version == kVersion && line.compare(0, 2, "o ") == 0) {
                parsed = parseOutput(line, copyOutput, copySaved);
            } else if (version == kVersion && line.compare(0, 2, "l ") == 0) {
                parsed = parseStatus(line, copyLog, status);
                copyStatuses[copyLog] = status;
            } else {
                parsed = parseLine(line, version, copyLog, position);
                copyLoaded[copyLog].push_back(position);
            }
            at = end + 1;
        }
        if (parsed) {
            found = true;
            newest = sequence;
            mAreas[area] = Area{sequence, 1 - slot};
            loaded = std::move(copyLoaded);
            statuses = std::move(copyStatuses);
            output = copyOutput;
            saved = copySaved;
            log = copyLog;
        }
    }
    if (!found) {
        return written ? -1 : 0;
    }
    for (auto& entry : loaded) {
        mLoaded[entry.first] = std::move(entry.second);
    }
    for (const auto& entry : statuses) {
        mStatus[entry.first] = entry.second;
    }
    if (area == 0) {
        mOutput = output;
        // The area is written when the output's condition changes; the
        // file's modification time says when a log's position last moved.
        mSavedAt = std::max(mSavedAt, saved);
    }
    return 1;
}

bool FollowState::readAreas(std::string& why) {
    char header[kHeader + 1] = {0};
    unsigned long long size = 0, count = 0;
    const int numbers = ::pread(mFd, header, kHeader, 0) == static_cast<ssize_t>(kHeader)
                            ? std::sscanf(header + sizeof kMagic + 1, "%16llx %8llx", &size, &count)
                            : 0;
    // Format 3 is one area of two copies, in the lines of format 2. A header
    // naming more room than a follower lays out is not believed: status reads
    // other users' states too, and reads no further than a state can reach.
    const bool three = mFormat == '3';
    if (numbers < (three ? 1 : 2) || size < kCopyLine || size > kMaxSlot ||
        count * size > kMaxSlot) {
        why = "header";
        return false;
    }
    mSlotSize = three ? 0 : size;
    mAreas.assign(three ? 1 : count + 1, Area());
    mLoaded.clear();
    mStatus.clear();
    mAreaOf.clear();
    bool whole = true;
    for (std::size_t area = 0; area < mAreas.size(); ++area) {
        std::string log;
        const int got = readArea(area,
                                 three       ? size
                                 : area == 0 ? outputCopySize()
                                             : size,
                                 three ? '2' : mFormat, log);
        whole = whole && got >= 0;
        if (got > 0 && area > 0) {
            mAreaOf[log] = area;
        }
    }
    return whole;
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

std::vector<std::string> FollowState::logs() const {
    std::vector<std::string> all;
    for (const auto& log : mLoaded) {
        all.push_back(log.first);
    }
    for (const auto& log : mStatus) {
        if (mLoaded.count(log.first) == 0) {
            all.push_back(log.first);
        }
    }
    std::sort(all.begin(), all.end());
    return all;
}

LogStatus FollowState::status(const std::string& log) const {
    auto it = mStatus.find(log);
    return it == mStatus.end() ? LogStatus() : it->second;
}

bool FollowState::writeArea(int fd, std::size_t area) {
    const std::uint64_t copySize = area == 0 ? outputCopySize() : mSlotSize;
    if (mText.size() > copySize) {
        errno = EFBIG; // more than the room was taken for
        return false;
    }
    const std::uint64_t sequence = mAreas[area].sequence + 1;
    char line[kCopyLine + 1];
    std::snprintf(line, sizeof line, "%016" PRIx64 " %08zx ", sequence, mText.size() - kCopyLine);
    std::uint32_t sum =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(line), kCopyLine - 9));
    sum = static_cast<std::uint32_t>(crc32(sum,
                                           reinterpret_cast<const Bytef*>(mText.data() + kCopyLine),
                                           static_cast<uInt>(mText.size() - kCopyLine)));
    std::snprintf(line + kCopyLine - 9, 10, "%08x\n", sum);
    mText.replace(0, kCopyLine, line, kCopyLine);
    const std::uint64_t at =
        areaAt(area) + static_cast<std::uint64_t>(mAreas[area].slot) * copySize;
    if (!zorv_detail::writeAllAt(fd, mText.data(), mText.size(), static_cast<off_t>(at))) {
        return false;
    }
    // Only a whole copy moves the next save to the other one: the newest
    // whole copy of an area is never the one overwritten.
    mAreas[area] = Area{sequence, 1 - mAreas[area].slot};
    return true;
}

bool FollowState::writeOutput(int fd, const OutputStatus& output) {
    mText.assign(kCopyLine, ' ');
    appendOutput(mText, output);
    return writeArea(fd, 0);
}

bool FollowState::writeLog(int fd, const std::string& log,
                           const std::vector<FollowPosition>& positions, const LogStatus& status) {
    auto area = mAreaOf.find(log);
    if (area == mAreaOf.end()) {
        errno = EFBIG; // a log the room was not taken for
        return false;
    }
    // The lines are made by hand into a buffer kept from save to save.
    const std::string escaped = escapePath(log);
    mText.assign(kCopyLine, ' ');
    appendStatus(mText, status, escaped);
    std::size_t watched = 0;
    for (const FollowPosition& p : positions) {
        watched += p.watched ? 1 : 0;
    }
    // The oldest watched ones beyond the room are left out.
    std::size_t skip = watched > kMaxWatched ? watched - kMaxWatched : 0;
    for (const FollowPosition& p : positions) {
        if (p.watched && skip > 0) {
            --skip;
            continue;
        }
        appendEntry(mText, p, escaped);
    }
    return writeArea(fd, area->second);
}

bool FollowState::save(const Positions& positions, const std::vector<LogStatus>& statuses,
                       const OutputStatus& output, const std::vector<bool>& changed) {
    int failed = 0;
    for (std::size_t i = 0; i < positions.size(); ++i) {
        if (i < changed.size() && !changed[i]) {
            continue;
        }
        if (!writeLog(mFd, positions[i].first, positions[i].second,
                      i < statuses.size() ? statuses[i] : LogStatus()) &&
            failed == 0) {
            failed = errno;
        }
    }
    // A batch moves the logs; the output's condition changes rarely. When the
    // state was saved is told by the file's modification time, which every
    // write moves, so the output's area is written only when its condition
    // differs from the one it holds: it would double the cost of a save.
    const bool outputDiffers = !mOutputWritten || output.taking != mWrittenOutput.taking ||
                               output.since != mWrittenOutput.since ||
                               output.why != mWrittenOutput.why;
    if (outputDiffers) {
        if (writeOutput(mFd, output)) {
            mWrittenOutput = output;
            mOutputWritten = true;
        } else if (failed == 0) {
            failed = errno;
        }
    }
    if (failed == 0) {
        return true;
    }
    mError = failed;
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
