#include "TrustRules.h"

#include "UserAccount.h"

#include <grp.h>
#include <unistd.h>
#include <vector>

namespace zorv_detail {

const char* refusalWord(Refusal refusal) {
    switch (refusal) {
    case Refusal::Link:
        return "link";
    case Refusal::HardLink:
        return "hard-link";
    case Refusal::OtherOwner:
        return "other-owner";
    case Refusal::DataDirectory:
        return "data-directory";
    case Refusal::Open:
        return "open";
    case Refusal::Write:
        return "write";
    case Refusal::None:
        break;
    }
    return nullptr;
}

bool ownerTrusted(uid_t owner) {
    return owner == 0 || owner == ::geteuid();
}

bool linkMayBeFollowed(const struct stat& link) {
    return ownerTrusted(link.st_uid);
}

bool directoryShared(const struct stat& dir) {
    if (!ownerTrusted(dir.st_uid) || (dir.st_mode & S_IWOTH) != 0) {
        return true;
    }
    return (dir.st_mode & S_IWGRP) != 0 && !isUsersPrivateGroup(dir.st_gid);
}

bool directoryOpenToSwaps(const struct stat& dir) {
    return (dir.st_mode & S_IWOTH) != 0 && (dir.st_mode & S_ISVTX) == 0;
}

Refusal entryBelowSwapsFault(const struct stat& entry) {
    return ownerTrusted(entry.st_uid) ? Refusal::None : Refusal::OtherOwner;
}

Refusal sharedFileFault(const struct stat& file, bool ownFilesOnly) {
    if (!S_ISREG(file.st_mode)) {
        return Refusal::Open;
    }
    if (file.st_nlink != 1) {
        return Refusal::HardLink;
    }
    return ownFilesOnly && !ownerTrusted(file.st_uid) ? Refusal::OtherOwner : Refusal::None;
}

bool logDirectoryGroupShared(const struct stat& dir) {
    return (dir.st_mode & S_IWGRP) != 0 && !isUsersPrivateGroup(dir.st_gid);
}

bool isUsersPrivateGroup(gid_t gid) {
    UserAccount user;
    if (!effectiveUserAccount(user) || user.group != gid) {
        return false;
    }
    const long size = ::sysconf(_SC_GETGR_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct group gr;
    struct group* group = nullptr;
    if (::getgrgid_r(gid, &gr, buffer.data(), buffer.size(), &group) != 0 || group == nullptr ||
        user.name != group->gr_name) {
        return false;
    }
    for (char** member = group->gr_mem; member != nullptr && *member != nullptr; ++member) {
        if (user.name != *member) {
            return false;
        }
    }
    return true;
}

} // namespace zorv_detail
