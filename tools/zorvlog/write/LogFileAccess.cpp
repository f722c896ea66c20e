#include "write/LogFileAccess.h"

#include "read/PathName.h"

#include "DirectoryPolicy.h"

#include <zorv/ZorvUtil.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

std::string appendProblem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        // Never blocks, also on a FIFO or a device, and never becomes our
        // terminal: only whether it opens counts.
        const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return std::strerror(errno);
        }
        ::close(fd);
        return std::string();
    }
    if (errno != ENOENT) {
        return std::strerror(errno);
    }
    const std::string dir = directoryOf(path);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return std::string(std::strerror(errno)) + " (the directory " + dir + ")";
    }
    return std::string();
}

bool openForRecord(const std::string& path, std::string* problem, bool* refused) {
    *refused = false;
    *problem = appendProblem(path);
    if (!problem->empty()) {
        return false;
    }
    std::string why;
    if (zorv_detail::logPlaceOf(path, ZorvUtil::getZorvLocalUserDataLocation().bytes(), &why) !=
        zorv_detail::LogPlace::Refused) {
        return true;
    }
    *refused = true;
    *problem = "the directory " + directoryOf(path) + " " + why + ", so the library refuses it";
    return false;
}

} // namespace zorvlog
