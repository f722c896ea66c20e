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
// Format 3: a header of kHeader bytes, "zorvlog follow state 3 SIZE" padded
// with spaces to a newline, then two copies of SIZE bytes each. A copy is a
// line "SEQUENCE LENGTH CRC" (16, 8 and 8 hex digits) and LENGTH bytes of
// the lines of format 2; the CRC-32 is of the line's first two numbers and
// the lines. The newest whole copy is the state; a save overwrites the other.
const char kMagic[] = "zorvlog follow state ";
const char kVersion = '3';
const std::size_t kHeader = 64;
const std::size_t kCopyLine = 16 + 1 + 8 + 1 + 8 + 1;
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
        if (text.size() < 2 || (text[0] != 'c' && text[0] != 'w') || text[1] != ' ') {
            return false;
        }
        p.watched = text[0] == 'w';
        text.erase(0, 2);
    }
    char id[17] = {0};
    std::uint64_t dev = 0, ino = 0, offset = 0, number = 0;
    unsigned crc = 0, head = 0, owner = 0;
    int consumed = 0;
    if (version == '1') {
        if (std::sscanf(text.c_str(),
                        "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64 " %8x %n", &dev,
                        &ino, id, &offset, &number, &crc, &consumed) != 6) {
            return false;
        }
        p.headKnown = p.ownerKnown = false;
    } else if (std::sscanf(text.c_str(),
                           "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64
                           " %8x %8x %8x %n",
                           &dev, &ino, id, &offset, &number, &crc, &head, &owner, &consumed) != 8) {
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
    log = unescapePath(text.substr(static_cast<std::size_t>(consumed)));
    return !log.empty();
}

// The line of one generation, every number in fixed width.
void appendEntry(std::string& out, const FollowPosition& p, const std::string& escapedLog) {
    auto hex = [&out](std::uint64_t value, int digits) {
        static const char kDigits[] = "0123456789abcdef";
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
            out += kDigits[(value >> shift) & 0xf];
        }
        out += ' ';
    };
    out += p.watched ? "w " : "c ";
    hex(p.dev, 16);
    hex(p.ino, 16);
    std::string id = p.id.empty() ? "----------------" : p.id.substr(0, 16);
    id.resize(16, '-');
    out += id;
    out += ' ';
    hex(p.offset, 16);
    hex(p.line, 16);
    hex(p.crc, 8);
    hex(p.head, 8);
    hex(p.owner, 8);
    out += escapedLog;
    out += '\n';
}

// The room of one copy for these logs: each with the generation read and
// every one it may watch.
std::uint64_t slotSizeFor(const std::vector<std::string>& logs) {
    std::string fixed;
    appendEntry(fixed, FollowPosition(), std::string());
    std::uint64_t size = kCopyLine;
    for (const std::string& log : logs) {
        size += (1 + FollowState::kMaxWatched) * (fixed.size() + escapePath(log).size());
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

std::string FollowState::defaultPath(const std::vector<std::string>& logs, std::string& error) {
    const char* state = std::getenv("XDG_STATE_HOME");
    const char* home = std::getenv("HOME");
    std::string dir;
    if (state != nullptr && state[0] == '/') {
        dir = std::string(state) + "/zorv";
    } else if (home != nullptr && home[0] == '/') {
        dir = std::string(home) + "/.local/state/zorv";
    } else {
        error = "neither XDG_STATE_HOME nor HOME names a directory; give --state FILE";
        return std::string();
    }
    std::string why;
    if (!zorv_detail::prepareDirectory(dir, zorv_detail::DirectoryUse::UserData, 0700, &why)) {
        error = "the state directory " + dir + " " + why;
        return std::string();
    }
    std::string joined;
    for (const std::string& log : logs) {
        joined += log + '\n';
    }
    char name[64];
    std::snprintf(name, sizeof name, "/follow-%08x%08x.state", crcOf(joined),
                  crcOf(std::to_string(logs.size()) + joined));
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
    // Never blocks: what lies at the path is looked at before it is read.
    mFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
    struct stat st;
    if (mFd < 0 || ::fstat(mFd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot use " + path +
                " as the state file: " + (mFd < 0 ? std::strerror(errno) : "not a regular file");
        return false;
    }
    if (::flock(mFd, LOCK_EX | LOCK_NB) != 0) {
        error = "the state file " + path + " is in use by another zorvlog follow";
        return false;
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
    if (magic[sizeof kMagic - 1] == kVersion) {
        whole = readSlots(why);
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
    // An older format, or more logs than its room: laid out anew beside it and
    // put in its place, so that the state kept stays whole until then. The new
    // file is locked before it can be found.
    std::string temporary = path + ".XXXXXX";
    const int fd = ::mkostemp(&temporary[0], O_CLOEXEC);
    if (fd < 0) {
        error = "cannot make a new state file beside " + path + ": " + std::strerror(errno);
        return false;
    }
    Positions kept;
    for (const std::string& log : logs) {
        if (const std::vector<FollowPosition>* positions = find(log)) {
            kept.emplace_back(log, *positions);
        }
    }
    bool laid = lay(fd, needed, error);
    if (laid && (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !writeSlot(fd, kept) || ::fsync(fd) != 0 ||
                 ::rename(temporary.c_str(), path.c_str()) != 0)) {
        error = "cannot write a new state file beside " + path + ": " + std::strerror(errno);
        laid = false;
    }
    if (!laid) {
        ::unlink(temporary.c_str());
        ::close(fd);
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

bool FollowState::readSlots(std::string& why) {
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
        bool parsed = sum == crc;
        for (std::size_t at = kCopyLine; parsed && at < kCopyLine + length;) {
            const std::size_t end = text.find('\n', at);
            std::string log;
            FollowPosition position;
            parsed = end < kCopyLine + length &&
                     parseLine(text.substr(at, end - at), '2', log, position);
            loaded[log].push_back(position);
            at = end + 1;
        }
        if (parsed) {
            found = true;
            mSequence = sequence;
            mSlot = 1 - slot;
            mLoaded = std::move(loaded);
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

bool FollowState::writeSlot(int fd, const Positions& positions) {
    // Saved once per batch of records: the lines are made by hand into a
    // buffer kept from save to save, and one write puts them in place.
    mText.assign(kCopyLine, ' ');
    for (const auto& log : positions) {
        const std::string escaped = escapePath(log.first);
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

bool FollowState::save(const Positions& positions) {
    if (writeSlot(mFd, positions)) {
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
