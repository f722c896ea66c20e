#include "LockPlace.h"

#include "DirectoryPolicy.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace zorv_detail {

namespace {

constexpr const char* kSharedMemoryPrefix = "/dev/shm/zorv-";
constexpr const char* kUnderHome = "/.cache/zorv/locks";

std::string homeOfUser() {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* user = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &user) != 0 ||
        user == nullptr || user->pw_dir == nullptr || user->pw_dir[0] != '/') {
        return std::string();
    }
    return user->pw_dir;
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
