#include "LockPlace.h"

#include "DirectoryPolicy.h"
#include "Environment.h"
#include "UserAccount.h"

#include <sys/stat.h>
#include <unistd.h>

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

} // namespace zorv_detail
