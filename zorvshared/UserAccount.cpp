#include "UserAccount.h"

#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace zorv_detail {

bool effectiveUserAccount(UserAccount& account) {
    const long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* user = nullptr;
    if (::getpwuid_r(::geteuid(), &pw, buffer.data(), buffer.size(), &user) != 0 ||
        user == nullptr) {
        return false;
    }
    account.name = user->pw_name != nullptr ? user->pw_name : "";
    account.group = user->pw_gid;
    account.home = user->pw_dir != nullptr ? user->pw_dir : "";
    return true;
}

} // namespace zorv_detail
