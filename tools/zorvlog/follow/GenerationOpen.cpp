#include "follow/GenerationOpen.h"

#include "OpenTrustedPath.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace zorvlog {

std::string userName(uid_t uid) {
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return std::string(found->pw_name) + " (" + zorv_detail::uidText(uid) + ")";
    }
    return zorv_detail::uidText(uid);
}

long ownerUid(const std::string& user) {
    if (!user.empty() && user.find_first_not_of("0123456789") == std::string::npos &&
        user.size() < 10) {
        return std::atol(user.c_str());
    }
    struct passwd entry, *found = nullptr;
    std::vector<char> buffer(16384);
    if (::getpwnam_r(user.c_str(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
        found != nullptr) {
        return static_cast<long>(found->pw_uid);
    }
    return -1;
}

int openGeneration(const std::string& path, const TrustedOwners& owners, bool anyOwner,
                   struct stat* st, std::string* problem, bool* missing) {
    *missing = false;
    problem->clear();
    zorv_detail::PathMemo memo;
    const int fd = zorv_detail::openTrustedPath(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY, 0,
                                                zorv_detail::DirectoryJudge(), memo, problem);
    if (fd < 0) {
        *missing = errno == ENOENT;
        if (problem->empty()) {
            *problem = std::string("cannot be opened: ") + std::strerror(errno);
        }
        return -1;
    }
    std::string why;
    if (::fstat(fd, st) != 0 || !S_ISREG(st->st_mode)) {
        why = "is not a regular file";
    } else if (!owners.mayRead(st->st_uid, anyOwner, memo.followedLink)) {
        why = "belongs to " + userName(st->st_uid) +
              ", who is none of the trusted owners (root, this user, the log's own, --owner)";
    }
    if (why.empty()) {
        return fd;
    }
    ::close(fd);
    *problem = memo.followedLink ? "leads through a link to a file that " + why : why;
    return -1;
}

} // namespace zorvlog
