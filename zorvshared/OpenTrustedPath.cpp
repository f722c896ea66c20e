#include "OpenTrustedPath.h"

#include "DirectoryPolicy.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// As many links as the kernel follows in one lookup.
constexpr int kMaxLinks = 40;

int fail(int error, std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
    errno = error;
    return -1;
}

std::string ownerText(uid_t uid) {
    return "uid " + std::to_string(static_cast<unsigned long>(uid));
}

// Takes the first component of rest (the path still to walk) into name;
// false when there is none left.
bool takeComponent(std::string& rest, std::string& name) {
    const std::string::size_type start = rest.find_first_not_of('/');
    if (start == std::string::npos) {
        rest.clear();
        return false;
    }
    const std::string::size_type end = rest.find('/', start);
    name.assign(rest, start, end == std::string::npos ? std::string::npos : end - start);
    rest.erase(0, end);
    return true;
}

bool nothingLeft(const std::string& rest) {
    return rest.find_first_not_of('/') == std::string::npos;
}

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : mFd(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    void reset(int fd = -1) {
        if (mFd >= 0) {
            ::close(mFd);
        }
        mFd = fd;
    }
    int get() const { return mFd; }
    int release() {
        const int fd = mFd;
        mFd = -1;
        return fd;
    }

private:
    int mFd;
};

// What a file opened in a shared directory must be. Out of line: a file in
// a directory of the user's own pays nothing for it.
[[gnu::noinline]] bool fileFits(int fd, const PathMemo& memo, std::string* reason,
                                const std::string& where) {
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        return false;
    }
    const char* why = !S_ISREG(st.st_mode) ? " is not a regular file"
                      : st.st_nlink != 1   ? " has another name (a hard link) elsewhere"
                      : memo.ownFilesOnly && st.st_uid != 0 && st.st_uid != ::geteuid()
                          ? " belongs to another user"
                          : nullptr;
    if (why == nullptr) {
        return true;
    }
    fail(EACCES, reason,
         where + why + ", in a directory others may write to, so it is not written");
    return false;
}

// The link open at linkFd (named where), judged by its owner; its target put
// before the rest of the path when it may be followed.
bool followLink(int linkFd, const struct stat& link, const std::string& where, std::string& rest,
                bool& absolute, std::string* reason) {
    if (link.st_uid != 0 && link.st_uid != ::geteuid()) {
        fail(EACCES, reason,
             where + " is a link that belongs to " + ownerText(link.st_uid) +
                 ": only links of root or of this user are followed (name the real path, or "
                 "own the link)");
        return false;
    }
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(linkFd, "", text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
        fail(EACCES, reason, where + " is a link that cannot be read");
        return false;
    }
    const std::string target(text, static_cast<std::size_t>(length));
    absolute = target[0] == '/';
    rest = nothingLeft(rest) ? target : target + "/" + rest;
    return true;
}

int walk(const char* path, int flags, mode_t mode, const DirectoryJudge& judge, PathMemo& memo,
         std::string* reason) {
    std::string rest = path;
    memo.followedLink = false;
    if (nothingLeft(rest)) {
        // "/" itself, or an empty name.
        return ::open(path, flags | O_CLOEXEC, mode);
    }
    Descriptor dir(::open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::string where = path[0] == '/' ? "" : ".";
    int followed = 0;
    // A link met on the way: judged, and its target walked next (from the
    // root, or from the link's own directory).
    auto throughLink = [&](int linkFd, const struct stat& st, const std::string& here) {
        bool absolute = false;
        if (++followed > kMaxLinks) {
            fail(ELOOP, reason, here + " leads through too many links");
            return false;
        }
        if (!followLink(linkFd, st, here, rest, absolute, reason)) {
            return false;
        }
        memo.followedLink = true;
        if (absolute) {
            dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            where.clear();
        }
        return true;
    };
    std::string name;
    while (takeComponent(rest, name)) {
        if (dir.get() < 0) {
            return -1;
        }
        const std::string here = where + "/" + name;
        if (!nothingLeft(rest)) {
            if (name == ".") {
                continue;
            }
            Descriptor next(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (next.get() < 0 || ::fstat(next.get(), &st) != 0) {
                return -1;
            }
            if (S_ISLNK(st.st_mode)) {
                if (!throughLink(next.get(), st, here)) {
                    return -1;
                }
                continue;
            }
            if (!S_ISDIR(st.st_mode)) {
                errno = ENOTDIR;
                return -1;
            }
            dir.reset(next.release());
            where = here;
            continue;
        }
        struct stat dirStat;
        if (::fstat(dir.get(), &dirStat) != 0) {
            return -1;
        }
        memo.shared = directoryShared(dirStat);
        memo.ownFilesOnly = false;
        if (judge.judge != nullptr &&
            !judge.judge(dir.get(), dirStat, memo, reason, judge.context)) {
            errno = EACCES;
            return -1;
        }
        const int fd = ::openat(dir.get(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd < 0 && errno == ELOOP) {
            Descriptor link(::openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st;
            if (link.get() < 0 || ::fstat(link.get(), &st) != 0 || !S_ISLNK(st.st_mode)) {
                errno = ELOOP;
                return -1;
            }
            if (!throughLink(link.get(), st, here)) {
                return -1;
            }
            continue;
        }
        if (fd < 0) {
            return -1;
        }
        if (memo.shared && !fileFits(fd, memo, reason, here)) {
            ::close(fd);
            errno = EACCES;
            return -1;
        }
        memo.known = true;
        return fd;
    }
    // The path ended in "." (after a link, say): the directory itself.
    errno = EISDIR;
    return -1;
}

} // namespace

bool directoryShared(const struct stat& dir) {
    if ((dir.st_uid != 0 && dir.st_uid != ::geteuid()) || (dir.st_mode & S_IWOTH) != 0) {
        return true;
    }
    return (dir.st_mode & S_IWGRP) != 0 && !isUsersPrivateGroup(dir.st_gid);
}

int openTrustedPath(const char* path, int flags, mode_t mode, const DirectoryJudge& judge,
                    PathMemo& memo, std::string* reason) {
    if (memo.known) {
        struct open_how how = {};
        how.flags = static_cast<unsigned long long>(flags | O_NOFOLLOW | O_CLOEXEC);
        how.mode = (flags & O_CREAT) != 0 ? mode : 0;
        how.resolve = RESOLVE_NO_SYMLINKS;
        const int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
        if (fd >= 0) {
            if (!memo.shared || fileFits(fd, memo, reason, path)) {
                return fd;
            }
            ::close(fd);
            errno = EACCES;
            return -1;
        }
        if (errno != ELOOP && errno != ENOSYS && errno != EPERM) {
            return -1;
        }
    }
    return walk(path, flags, mode, judge, memo, reason);
}

bool dataDirectoryAllows(const std::string& dataLocation, const struct stat& dir, PathMemo& memo,
                         std::string* reason) {
    struct stat own;
    if (dataLocation.empty() || ::stat(dataLocation.c_str(), &own) != 0 ||
        own.st_dev != dir.st_dev || own.st_ino != dir.st_ino) {
        return true;
    }
    switch (dataDirectoryPlace(dataLocation, reason)) {
    case LogPlace::Usable:
        return true;
    case LogPlace::OwnFilesOnly:
        memo.ownFilesOnly = true;
        return true;
    case LogPlace::Refused:
        break;
    }
    return false;
}

} // namespace zorv_detail
