#include "follow/GenerationOpen.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace zorvlog {

namespace {

const int kLinkDepth = 8;

// The link at path, judged by its owner: its target (relative ones made
// relative to the link's directory), or empty with *problem.
std::string linkTarget(const std::string& path, std::string* problem) {
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st;
    if (fd < 0 || ::fstatat(fd, "", &st, AT_EMPTY_PATH) != 0 || !S_ISLNK(st.st_mode)) {
        *problem = std::string("cannot be opened: ") + std::strerror(fd < 0 ? errno : ELOOP);
        if (fd >= 0) {
            ::close(fd);
        }
        return std::string();
    }
    if (st.st_uid != 0 && st.st_uid != ::geteuid()) {
        ::close(fd);
        *problem = "is a link that belongs to " + userName(st.st_uid) +
                   ": only links of root or of this user are followed";
        return std::string();
    }
    std::vector<char> target(PATH_MAX);
    const ssize_t n = ::readlinkat(fd, "", target.data(), target.size());
    ::close(fd);
    if (n <= 0 || static_cast<std::size_t>(n) >= target.size()) {
        *problem = "is a link that cannot be read";
        return std::string();
    }
    std::string to(target.data(), static_cast<std::size_t>(n));
    if (to[0] != '/') {
        const std::string::size_type slash = path.rfind('/');
        to = (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/" + to;
    }
    return to;
}

} // namespace

TrustedOwners::TrustedOwners() {
    mUids.insert(0);
    mUids.insert(::geteuid());
}

std::string userName(uid_t uid) {
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return std::string(found->pw_name) + " (uid " + std::to_string(uid) + ")";
    }
    return "uid " + std::to_string(uid);
}

long ownerUid(const std::string& user) {
    if (!user.empty() && user.find_first_not_of("0123456789") == std::string::npos &&
        user.size() < 10) {
        return std::atol(user.c_str());
    }
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        return static_cast<long>(found->pw_uid);
    }
    return -1;
}

int openGeneration(const std::string& path, const TrustedOwners& owners, bool anyOwner,
                   struct stat* st, std::string* problem, bool* missing) {
    *missing = false;
    std::string current = path;
    bool viaLink = false;
    for (int depth = 0; depth <= kLinkDepth; ++depth) {
        const int fd =
            ::open(current.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
        if (fd >= 0) {
            std::string why;
            if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
                why = "is not a regular file";
            } else if (!owners.trusts(st->st_uid) &&
                       !(anyOwner && !(viaLink && ::geteuid() == 0))) {
                why = "belongs to " + userName(st->st_uid) +
                      ", who is none of the trusted owners (root, this user, the log's own, "
                      "--owner)";
            }
            if (why.empty()) {
                return fd;
            }
            ::close(fd);
            *problem = viaLink ? "leads through a link to " + current + ", which " + why : why;
            return -1;
        }
        if (errno != ELOOP) {
            *missing = errno == ENOENT;
            *problem = std::string("cannot be opened: ") + std::strerror(errno);
            return -1;
        }
        current = linkTarget(current, problem);
        if (current.empty()) {
            return -1;
        }
        viaLink = true;
    }
    *problem = "leads through more than " + std::to_string(kLinkDepth) + " links";
    return -1;
}

} // namespace zorvlog
