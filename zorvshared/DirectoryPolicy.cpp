#include "DirectoryPolicy.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

void say(std::string* reason, const std::string& text) {
    if (reason != nullptr) {
        *reason = text;
    }
}

bool ownerAccepted(uid_t owner, bool rootToo) {
    return rootToo ? ownerTrusted(owner) : owner == ::geteuid();
}

enum class GroupWrite { Never, PrivateGroupOnly, Any };

GroupWrite groupWriteOf(DirectoryUse use) {
    switch (use) {
    case DirectoryUse::Private:
        return GroupWrite::Never;
    case DirectoryUse::Logs:
        return GroupWrite::Any;
    case DirectoryUse::UserData:
    case DirectoryUse::TrustedData:
        break;
    }
    return GroupWrite::PrivateGroupOnly;
}

// The write bits of a directory or file we are about to trust.
bool writeBitsAccepted(const struct stat& st, GroupWrite group, std::string* reason) {
    if ((st.st_mode & S_IWOTH) != 0) {
        say(reason, "is writable by others");
        return false;
    }
    if ((st.st_mode & S_IWGRP) != 0 &&
        (group == GroupWrite::Never ||
         (group == GroupWrite::PrivateGroupOnly && !isUsersPrivateGroup(st.st_gid)))) {
        say(reason, "is writable by its group");
        return false;
    }
    return true;
}

// A link in the place of what we judge: followed only when it belongs to the
// user or root, since its owner can point it elsewhere at any time.
bool linkAccepted(const std::string& path, std::string* reason) {
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) {
        say(reason, "does not exist");
        return false;
    }
    if (S_ISLNK(st.st_mode) && !linkMayBeFollowed(st)) {
        say(reason, "is a symbolic link owned by " + uidText(st.st_uid));
        return false;
    }
    return true;
}

// Every directory above the resolved path: owned by the user or root, and
// closed to others' writes unless sticky, where nobody may rename what is not
// theirs.
bool ancestorsAccepted(const std::string& path, std::string* reason) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        say(reason, std::string("cannot be resolved: ") + std::strerror(errno));
        return false;
    }
    std::string above(resolved);
    for (;;) {
        const std::string::size_type slash = above.rfind('/');
        if (slash == std::string::npos) {
            return true;
        }
        above.resize(slash == 0 ? 1 : slash);
        struct stat st;
        if (::stat(above.c_str(), &st) != 0) {
            say(reason, "cannot look at " + above);
            return false;
        }
        if (!ownerAccepted(st.st_uid, true)) {
            say(reason, "lies in " + above + ", owned by " + uidText(st.st_uid));
            return false;
        }
        if (directoryOpenToSwaps(st)) {
            say(reason, "lies in " + above + ", which others may write");
            return false;
        }
        if (above == "/") {
            return true;
        }
    }
}

} // namespace

bool directoryAllowed(const std::string& path, DirectoryUse use, std::string* reason) {
    if (path.empty() || path[0] != '/') {
        say(reason, "is not an absolute path");
        return false;
    }
    if (!linkAccepted(path, reason)) {
        return false;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
        say(reason, "is a link to nothing");
        return false;
    }
    if (!S_ISDIR(st.st_mode)) {
        say(reason, "is not a directory");
        return false;
    }
    if (!ownerAccepted(st.st_uid, use == DirectoryUse::TrustedData)) {
        say(reason, "is owned by " + uidText(st.st_uid));
        return false;
    }
    return writeBitsAccepted(st, groupWriteOf(use), reason) && ancestorsAccepted(path, reason);
}

bool prepareDirectory(const std::string& path, DirectoryUse use, mode_t mode, std::string* reason) {
    if (path.empty() || path[0] != '/') {
        say(reason, "is not an absolute path");
        return false;
    }
    // From the top down; a component another process makes meanwhile is fine.
    for (std::string::size_type slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const bool last = slash == std::string::npos;
        const std::string part = last ? path : path.substr(0, slash);
        if (::mkdir(part.c_str(), last ? mode : 0700) != 0 && errno != EEXIST) {
            say(reason, std::string("cannot be made: ") + std::strerror(errno));
            return false;
        }
        if (last) {
            break;
        }
    }
    return directoryAllowed(path, use, reason);
}

bool trustedFileAllowed(const std::string& path, std::string* reason) {
    if (!linkAccepted(path, reason)) {
        return false;
    }
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        say(reason, "is not a regular file");
        return false;
    }
    if (!ownerAccepted(st.st_uid, true)) {
        say(reason, "is owned by " + uidText(st.st_uid));
        return false;
    }
    if (!writeBitsAccepted(st, GroupWrite::PrivateGroupOnly, reason)) {
        return false;
    }
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr) {
        say(reason, "cannot be resolved");
        return false;
    }
    const std::string dir = directoryOf(resolved);
    std::string why;
    if (!directoryAllowed(dir, DirectoryUse::TrustedData, &why)) {
        say(reason, "lies in " + dir + ", which " + why);
        return false;
    }
    return true;
}

LogPlace dataDirectoryPlace(const std::string& directory, std::string* reason) {
    if (!directoryAllowed(directory, DirectoryUse::Logs, reason)) {
        return LogPlace::Refused;
    }
    struct stat st;
    return ::stat(directory.c_str(), &st) == 0 && !logDirectoryGroupShared(st)
               ? LogPlace::Usable
               : LogPlace::OwnFilesOnly;
}

} // namespace zorv_detail
