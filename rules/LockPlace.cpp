#include "LockPlace.h"

#include "DirectoryPolicy.h"
#include "UserAccount.h"

#include <cstdlib>
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

} // namespace

std::string lockDirectory(std::string* reason) {
    const char* chosen = std::getenv(kLockDirVariable);
    if (chosen != nullptr && chosen[0] == '/') {
        return prepareDirectory(chosen, DirectoryUse::Private, 0700, reason) ? std::string(chosen)
                                                                             : std::string();
    }
    const std::string shared = kSharedMemoryPrefix + std::to_string(::geteuid());
    std::string sharedWhy;
    if (prepareDirectory(shared, DirectoryUse::Private, 0700, &sharedWhy)) {
        return shared;
    }
    const std::string home = homeOfUser();
    std::string homeWhy = "has no home directory in the password database";
    if (!home.empty()) {
        const std::string underHome = home + kUnderHome;
        if (prepareDirectory(underHome, DirectoryUse::Private, 0700, &homeWhy)) {
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
