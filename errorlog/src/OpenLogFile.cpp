#include "OpenLogFile.h"

#include "DirectoryPolicy.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

constexpr int kMaxLinks = 8;

bool trustedOwner(uid_t owner) {
    return owner == ::geteuid() || owner == 0;
}

// The name the link at path leads to, when the link may be followed: its
// owner is the user or root, or nobody but its owner may write in its
// directory (so nobody else could have put it there). Looked at through one
// descriptor of the link itself, so that the owner judged and the target
// read belong to the same link.
bool followableTarget(const std::string& path, std::string& target) {
    const int fd = ::open(path.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat link;
    char text[PATH_MAX];
    ssize_t length = -1;
    if (::fstat(fd, &link) == 0 && S_ISLNK(link.st_mode)) {
        length = ::readlinkat(fd, "", text, sizeof text);
    }
    ::close(fd);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
        return false;
    }
    const std::string directory = directoryOf(path);
    struct stat dir;
    const bool trusted = trustedOwner(link.st_uid) ||
                         (::stat(directory.c_str(), &dir) == 0 && dir.st_uid == link.st_uid &&
                          (dir.st_mode & (S_IWGRP | S_IWOTH)) == 0);
    if (!trusted) {
        return false;
    }
    target.assign(text, static_cast<std::size_t>(length));
    if (target[0] != '/') {
        target = directory + "/" + target;
    }
    return true;
}

// Out of the way of the usual open, which needs no room for a stat.
[[gnu::noinline]] bool ownedByUserOrRoot(int fd) {
    struct stat st;
    return ::fstat(fd, &st) == 0 && trustedOwner(st.st_uid);
}

// One open of the name itself, never through a link at it (ELOOP then).
inline int openNoLink(const char* name, int flags, mode_t mode, bool ownFilesOnly) {
    const int fd = ::open(name, flags | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0 || !ownFilesOnly || ownedByUserOrRoot(fd)) {
        return fd;
    }
    ::close(fd);
    errno = EACCES;
    return -1;
}

// The way through the links at the name, each judged before it is followed;
// out of line, so that the usual open pays nothing for it.
[[gnu::noinline]] int openThroughLinks(const char* path, int flags, mode_t mode,
                                       bool ownFilesOnly) {
    std::string name = path;
    for (int links = 0;; ++links) {
        // A link at the name (or a loop of directories above it).
        std::string target;
        if (links == kMaxLinks || !followableTarget(name, target)) {
            errno = EACCES;
            return -1;
        }
        name = target;
        const int fd = openNoLink(name.c_str(), flags, mode, ownFilesOnly);
        if (fd >= 0 || errno != ELOOP) {
            return fd;
        }
    }
}

} // namespace

int openLogFile(const char* path, int flags, mode_t mode, bool ownFilesOnly) {
    const int fd = openNoLink(path, flags, mode, ownFilesOnly);
    return fd >= 0 || errno != ELOOP ? fd : openThroughLinks(path, flags, mode, ownFilesOnly);
}

} // namespace zorv_detail
