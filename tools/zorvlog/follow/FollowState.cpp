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

// The file: a header line "zorvlog follow state 2 LENGTH CRC" (8 hex digits
// each) for the lines after it, then one line per generation with every
// number in fixed width: "c" for the one read or "w" for one watched for late
// writes, device, inode, identity, offset, lines, CRC, CRC of the head, the
// file's owner, the log's path. The length lets a reader ignore a longer tail left behind by
// a shorter rewrite. The first format had no role and no head.
const char kMagic[] = "zorvlog follow state ";
const char kVersion = '2';
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

bool sameFile(const std::string& a, const std::string& b) {
    struct stat x, y;
    return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev &&
           x.st_ino == y.st_ino;
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
    const std::string::size_type slash = path.rfind('/');
    for (const std::string& log : logs) {
        const std::string::size_type logSlash = log.rfind('/');
        RotatedName rotated;
        if (path == log || sameFile(path, log)) {
            error = "--state " + path + " is one of the LOGFILEs; name a file of its own";
            return true;
        }
        if (path.compare(0, slash, log, 0, logSlash) == 0 && slash == logSlash &&
            parseRotatedName(log.substr(logSlash + 1), path.substr(slash + 1), &rotated)) {
            error = "--state " + path + " is named as a rotated file of " + log +
                    "; name a file of its own";
            return true;
        }
    }
    struct stat st;
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
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
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::read(mFd, buffer, sizeof buffer)) > 0;) {
        text.append(buffer, static_cast<std::size_t>(n));
    }
    mSize = text.size();
    if (text.empty()) {
        return true;
    }
    if (text.compare(0, sizeof kMagic - 1, kMagic) != 0) {
        error = "--state " + path +
                " holds something other than a state of zorvlog follow; name another file";
        return false;
    }
    if (!read(text)) {
        std::fprintf(stderr,
                     "zorvlog follow: the state file %s does not read back whole; the logs are "
                     "read from their starts\n",
                     forTerminal(path).c_str());
    }
    return true;
}

bool FollowState::read(const std::string& text) {
    const char version = text.size() > sizeof kMagic ? text[sizeof kMagic - 1] : 0;
    unsigned length = 0, crc = 0;
    const std::size_t header = text.find('\n');
    bool whole = (version == '1' || version == kVersion) && header != std::string::npos &&
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

bool FollowState::save(const Positions& positions) {
    // Saved after every record: the numbers are written by hand, in fixed
    // width, rather than through printf.
    auto hex = [](std::string& out, std::uint64_t value, int digits) {
        static const char kDigits[] = "0123456789abcdef";
        for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
            out += kDigits[(value >> shift) & 0xf];
        }
        out += ' ';
    };
    std::string body;
    for (const auto& log : positions) {
        for (const FollowPosition& p : log.second) {
            body += p.watched ? "w " : "c ";
            hex(body, p.dev, 16);
            hex(body, p.ino, 16);
            body += p.id.empty() ? "----------------" : p.id;
            body += ' ';
            hex(body, p.offset, 16);
            hex(body, p.line, 16);
            hex(body, p.crc, 8);
            hex(body, p.head, 8);
            hex(body, p.owner, 8);
            body += escapePath(log.first) + "\n";
        }
    }
    char header[64];
    std::snprintf(header, sizeof header, "%s%c %08x %08x\n", kMagic, kVersion,
                  static_cast<unsigned>(body.size()), crcOf(body));
    const std::string text = header + body;
    // One write at the start of the file: a follower killed at any moment
    // leaves either the old text or the new one.
    bool ok = ::pwrite(mFd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
    if (ok && text.size() < mSize) {
        ok = ::ftruncate(mFd, static_cast<off_t>(text.size())) == 0;
    }
    if (ok) {
        mSize = text.size();
    } else if (!mWarned) {
        mWarned = true;
        std::fprintf(stderr,
                     "zorvlog follow: cannot write the state file %s: %s (a restart will repeat "
                     "records)\n",
                     forTerminal(mPath).c_str(), std::strerror(errno));
    }
    return ok;
}

} // namespace zorvlog
