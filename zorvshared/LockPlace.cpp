#include "LockPlace.h"

#include "DirectoryPolicy.h"
#include "SystemCalls.h"
#include "UserAccount.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace zorv_detail {

namespace {

constexpr const char* kSharedMemoryPrefix = "/dev/shm/zorv-";
constexpr const char* kUnderHome = "/.cache/zorv/locks";

std::string homeOfUser() {
    UserAccount user;
    return effectiveUserAccount(user) && !user.home.empty() && user.home[0] == '/' ? user.home
                                                                                   : std::string();
}

// One of the places that are the product's own: made, and closed to 0700
// when it is the user's own but open to others in any way (ours to mend).
bool prepareOwnPlace(const std::string& path, std::string* reason) {
    const bool allowed = prepareDirectory(path, DirectoryUse::Private, 0700, reason);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & 077) == 0) {
        return allowed;
    }
    return ::chmod(path.c_str(), 0700) == 0 ? directoryAllowed(path, DirectoryUse::Private, reason)
                                            : allowed;
}

} // namespace

std::string lockDirectory(std::string* reason) {
    const char* chosen = environmentValue(kLockDirVariable);
    if (chosen != nullptr && chosen[0] == '/') {
        std::string why;
        if (prepareDirectory(chosen, DirectoryUse::Private, 0700, &why)) {
            return chosen;
        }
        if (reason != nullptr) {
            *reason = std::string(kLockDirVariable) + " " + chosen + " " + why;
        }
        return std::string();
    }
    const std::string shared = kSharedMemoryPrefix + std::to_string(::geteuid());
    std::string sharedWhy;
    if (prepareOwnPlace(shared, &sharedWhy)) {
        return shared;
    }
    const std::string home = homeOfUser();
    std::string homeWhy = "has no home directory in the password database";
    if (!home.empty()) {
        const std::string underHome = home + kUnderHome;
        if (prepareOwnPlace(underHome, &homeWhy)) {
            return underHome;
        }
        homeWhy = underHome + " " + homeWhy;
    }
    if (reason != nullptr) {
        *reason = shared + " " + sharedWhy + "; " + homeWhy;
    }
    return std::string();
}

std::string lockDirectoryOf(uid_t uid, std::string* reason) {
    const char* chosen = environmentValue(kLockDirVariable);
    if (chosen != nullptr && chosen[0] == '/') {
        return chosen;
    }
    auto usersOwn = [uid](const std::string& path) {
        struct stat st;
        return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == uid &&
               (st.st_mode & 022) == 0;
    };
    const std::string shared = kSharedMemoryPrefix + std::to_string(uid);
    if (usersOwn(shared)) {
        return shared;
    }
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        found->pw_dir[0] == '/' && usersOwn(std::string(found->pw_dir) + kUnderHome)) {
        return std::string(found->pw_dir) + kUnderHome;
    }
    if (reason != nullptr) {
        *reason = "neither " + shared + " nor a lock place in the home of " + uidText(uid) +
                  " is that user's";
    }
    return std::string();
}

} // namespace zorv_detail
