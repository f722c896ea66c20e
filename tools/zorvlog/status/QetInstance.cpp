#include "status/QetInstance.h"

#include "QetFiles.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace zorvlog {

namespace {

const char* const kKernelLocks = "/proc/locks";

std::string readSmallFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return std::string();
    }
    char buffer[8192];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    ::close(fd);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

// The holder of an exclusive flock on the file, from lines such as
//   "3: FLOCK  ADVISORY  WRITE 4711 fe:00:10952777 0 EOF"
// (lock number, kind, mode, pid, device as hexadecimal major:minor, inode).
// Waiters ("3: -> FLOCK ...") hold nothing. The kernel names the device of
// the file system, which stat reports differently on some of them (btrfs
// subvolumes), so the pid QET wrote into the file may stand in for it.
long exclusiveHolder(std::istream& locks, const struct stat& file, long recordedPid) {
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string number, kind, advisory, mode, device;
        long pid = 0;
        if (!(fields >> number >> kind >> advisory >> mode >> pid >> device) || kind != "FLOCK" ||
            mode != "WRITE") {
            continue;
        }
        unsigned major = 0, minor = 0;
        unsigned long long inode = 0;
        if (std::sscanf(device.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3 ||
            inode != static_cast<unsigned long long>(file.st_ino)) {
            continue;
        }
        if ((major == ::major(file.st_dev) && minor == ::minor(file.st_dev)) ||
            (recordedPid > 0 && pid == recordedPid)) {
            return pid;
        }
    }
    return 0;
}

} // namespace

QetInstance QetInstance::find(const std::string& lockDirectory) {
    QetInstance found;
    found.lockFile = lockDirectory + "/" + zorv_detail::kQetInstanceLockName;
    struct stat st;
    if (::lstat(found.lockFile.c_str(), &st) != 0) {
        found.state = errno == ENOENT ? kNotServing : kUnknown;
        found.detail = errno == ENOENT
                           ? "no QET holds " + found.lockFile + " (it does not exist)"
                           : "cannot look at " + found.lockFile + ": " + std::strerror(errno);
        return found;
    }
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        // QET does not lock such a file either; it serves, if at all,
        // without a lock.
        found.detail = found.lockFile + " is not a file of ours";
        return found;
    }
    const zorv_detail::QetInstanceNote note =
        zorv_detail::readQetInstanceText(readSmallFile(found.lockFile));

    std::ifstream locks(kKernelLocks);
    if (!locks) {
        found.detail = std::string("cannot read ") + kKernelLocks;
        return found;
    }
    found.pid = exclusiveHolder(locks, st, note.pid);
    if (found.pid == 0) {
        found.state = kNotServing;
        found.detail = "no QET holds " + found.lockFile;
        return found;
    }
    found.state = kServing;
    found.socket = note.socket;
    return found;
}

} // namespace zorvlog
