#include "FollowState.h"

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

// The file: a header line "zorvlog follow state 1 LENGTH CRC" (8 hex digits
// each) for the lines after it, then one line per log with every number in
// fixed width, so rewriting it never changes its size while the same logs
// are followed. The length lets a reader ignore a longer tail left behind.
const char kMagic[] = "zorvlog follow state 1 ";

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

bool parseLine(const std::string& line, std::string& log, FollowPosition& p) {
    char id[17] = {0};
    std::uint64_t dev = 0, ino = 0, offset = 0, number = 0;
    unsigned crc = 0;
    int consumed = 0;
    if (std::sscanf(line.c_str(),
                    "%16" SCNx64 " %16" SCNx64 " %16s %16" SCNx64 " %16" SCNx64 " %8x %n", &dev,
                    &ino, id, &offset, &number, &crc, &consumed) != 6 ||
        consumed == 0) {
        return false;
    }
    p.dev = dev;
    p.ino = ino;
    p.id = std::strcmp(id, "----------------") == 0 ? "" : id;
    p.offset = offset;
    p.line = number;
    p.crc = crc;
    log = unescapePath(line.substr(static_cast<std::size_t>(consumed)));
    return !log.empty();
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

bool FollowState::open(const std::string& path, std::string& error) {
    mPath = path;
    std::string dir = path.substr(0, path.rfind('/'));
    std::string why;
    if (!zorv_detail::directoryAllowed(dir.empty() ? "/" : dir, zorv_detail::DirectoryUse::UserData,
                                       &why)) {
        error = "the state file's directory " + dir + " " + why;
        return false;
    }
    mFd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (mFd < 0) {
        error = "cannot open the state file " + path + ": " + std::strerror(errno);
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
    unsigned length = 0, crc = 0;
    std::size_t header = text.find('\n');
    bool whole = text.compare(0, sizeof kMagic - 1, kMagic) == 0 && header != std::string::npos &&
                 std::sscanf(text.c_str() + sizeof kMagic - 1, "%8x %8x", &length, &crc) == 2 &&
                 header + 1 + length <= text.size() &&
                 crcOf(text.substr(header + 1, length)) == crc;
    std::map<std::string, FollowPosition> loaded;
    for (std::size_t at = header + 1; whole && at < header + 1 + length;) {
        std::size_t end = text.find('\n', at);
        std::string log;
        FollowPosition position;
        whole = end != std::string::npos && parseLine(text.substr(at, end - at), log, position);
        loaded[log] = position;
        at = end + 1;
    }
    if (!whole) {
        std::fprintf(stderr,
                     "zorvlog follow: the state file %s does not read back whole; the logs are "
                     "read from their starts\n",
                     path.c_str());
        return true;
    }
    mLoaded = std::move(loaded);
    return true;
}

const FollowPosition* FollowState::find(const std::string& log) const {
    auto it = mLoaded.find(log);
    return it == mLoaded.end() ? nullptr : &it->second;
}

bool FollowState::save(const std::vector<std::pair<std::string, FollowPosition>>& positions) {
    std::string body;
    for (const auto& entry : positions) {
        const FollowPosition& p = entry.second;
        char numbers[160];
        std::snprintf(numbers, sizeof numbers,
                      "%016" PRIx64 " %016" PRIx64 " %16s %016" PRIx64 " %016" PRIx64 " %08x ",
                      p.dev, p.ino, p.id.empty() ? "----------------" : p.id.c_str(), p.offset,
                      p.line, static_cast<unsigned>(p.crc));
        body += numbers + escapePath(entry.first) + "\n";
    }
    char header[64];
    std::snprintf(header, sizeof header, "%s%08x %08x\n", kMagic,
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
                     mPath.c_str(), std::strerror(errno));
    }
    return ok;
}

} // namespace zorvlog
