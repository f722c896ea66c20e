#include "OpenTrustedPath.h"

#include "DirectoryPolicy.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
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

int refuse(PathMemo& memo, Refusal why, std::string* reason, const std::string& text) {
    memo.refused = why;
    return fail(EACCES, reason, text);
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

// What the rules need of an opened file, without its times: asking for a
// file's times marks it on filesystems with fine-grained timestamps, and
// the next write then pays for a precise time and an inode update.
bool lookAtFile(int fd, struct stat& st) {
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH,
                STATX_TYPE | STATX_MODE | STATX_NLINK | STATX_UID | STATX_GID | STATX_INO |
                    STATX_SIZE,
                &sx) != 0) {
        // A kernel or a filter that does not offer statx: the plain look.
        return (errno == ENOSYS || errno == EPERM) && ::fstat(fd, &st) == 0;
    }
    st = {};
    st.st_dev = makedev(sx.stx_dev_major, sx.stx_dev_minor);
    st.st_ino = sx.stx_ino;
    st.st_mode = sx.stx_mode;
    st.st_nlink = sx.stx_nlink;
    st.st_uid = sx.stx_uid;
    st.st_gid = sx.stx_gid;
    st.st_size = static_cast<off_t>(sx.stx_size);
    return true;
}

// What a file opened in a shared directory must be.
bool fileFits(const struct stat& st, PathMemo& memo, std::string* reason,
              const std::string& where) {
    const Refusal why = sharedFileFault(st, memo.ownFilesOnly);
    if (why == Refusal::None) {
        return true;
    }
    refuse(memo, why, reason,
           where +
               (why == Refusal::Open       ? " is not a regular file"
                : why == Refusal::HardLink ? " has another name (a hard link) elsewhere"
                                           : " belongs to another user") +
               ", in a directory others may write to, so it is not written");
    return false;
}

// What lies below a directory anyone may rename things in: another user's
// directory, link or file may have been put there after any check.
bool belowSwapsFits(const struct stat& st, PathMemo& memo, std::string* reason,
                    const std::string& where) {
    if (entryBelowSwapsFault(st) == Refusal::None) {
        return true;
    }
    refuse(memo, Refusal::OtherOwner, reason,
           where + " belongs to " + uidText(st.st_uid) +
               " and lies below a directory others may write without the sticky bit, so it "
               "is not used (make that directory sticky, or keep the log where only root or "
               "this user may write)");
    return false;
}

// The link open at linkFd (named where), judged by its owner; its target put
// before the rest of the path when it may be followed.
bool followLink(int linkFd, const struct stat& link, const std::string& where, std::string& rest,
                bool& absolute, PathMemo& memo, std::string* reason) {
    if (!linkMayBeFollowed(link)) {
        refuse(memo, Refusal::Link, reason,
               where + " is a link that belongs to " + uidText(link.st_uid) +
                   ": only links of root or of this user are followed (name the real path, or "
                   "own the link)");
        return false;
    }
    char text[PATH_MAX];
    const ssize_t length = ::readlinkat(linkFd, "", text, sizeof text);
    if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) {
        refuse(memo, Refusal::Link, reason, where + " is a link that cannot be read");
        return false;
    }
    const std::string target(text, static_cast<std::size_t>(length));
    absolute = target[0] == '/';
    rest = nothingLeft(rest) ? target : target + "/" + rest;
    return true;
}

int walk(const char* path, int flags, mode_t mode, const DirectoryJudge& judge, PathMemo& memo,
         std::string* reason, struct stat& file) {
    std::string rest = path;
    memo.followedLink = false;
    // The directory last entered lets anyone rename what lies in it. That
    // matters to a writer, whose records could be sent elsewhere; a reader
    // judges whose file it reads by its own rule (TrustedOwners).
    const bool writing = (flags & O_ACCMODE) != O_RDONLY;
    bool belowSwaps = false;
    if (nothingLeft(rest)) {
        // "/" itself, or an empty name.
        const int fd = ::open(path, flags | O_CLOEXEC, mode);
        if (fd >= 0 && !lookAtFile(fd, file)) {
            ::close(fd);
            return -1;
        }
        return fd;
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
        if ((belowSwaps && !belowSwapsFits(st, memo, reason, here)) ||
            !followLink(linkFd, st, here, rest, absolute, memo, reason)) {
            return false;
        }
        memo.followedLink = true;
        if (absolute) {
            dir.reset(::open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
            where.clear();
            belowSwaps = false;
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
            if (belowSwaps && !belowSwapsFits(st, memo, reason, here)) {
                return -1;
            }
            belowSwaps = writing && directoryOpenToSwaps(st);
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
            memo.refused = Refusal::DataDirectory;
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
        if (!lookAtFile(fd, file) || (belowSwaps && !belowSwapsFits(file, memo, reason, here)) ||
            (memo.shared && !fileFits(file, memo, reason, here))) {
            ::close(fd);
            errno = EACCES;
            return -1;
        }
        memo.known = true;
        memo.device = file.st_dev;
        memo.inode = file.st_ino;
        memo.links = file.st_nlink;
        return fd;
    }
    // The path ended in "." (after a link, say): the directory itself.
    errno = EISDIR;
    return -1;
}

} // namespace

int openTrustedPath(const char* path, int flags, mode_t mode, const DirectoryJudge& judge,
                    PathMemo& memo, std::string* reason, struct stat* opened) {
    struct stat own;
    struct stat& st = opened != nullptr ? *opened : own;
    memo.refused = Refusal::None;
    if (memo.known) {
        // Never made nor emptied before it is known to be the judged file.
        struct open_how how = {};
        how.flags = static_cast<unsigned long long>((flags & ~(O_CREAT | O_TRUNC)) | O_NOFOLLOW |
                                                    O_CLOEXEC);
        how.resolve = RESOLVE_NO_SYMLINKS;
        const int fd = static_cast<int>(::syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
        if (fd >= 0) {
            if (lookAtFile(fd, st) && st.st_dev == memo.device && st.st_ino == memo.inode &&
                st.st_nlink == memo.links) {
                if ((flags & O_TRUNC) == 0) {
                    return fd;
                }
                if (::ftruncate(fd, 0) == 0) {
                    st.st_size = 0;
                    return fd;
                }
            }
            ::close(fd);
        } else if (errno != ELOOP && errno != ENOSYS && errno != EPERM && errno != ENOENT) {
            return -1;
        }
        memo.known = false;
    }
    return walk(path, flags, mode, judge, memo, reason, st);
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
