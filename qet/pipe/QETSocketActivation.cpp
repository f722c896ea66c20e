#include "QETSocketActivation.h"

#include "SystemCalls.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int kFirstDescriptor = 3; // SD_LISTEN_FDS_START

bool socketOption(int fd, int option, int expected) {
    int value = 0;
    socklen_t size = sizeof value;
    return ::getsockopt(fd, SOL_SOCKET, option, &value, &size) == 0 && value == expected;
}

} // namespace

int zorv_detail::takeListeningDescriptor(QString* why) {
    const char* pidText = zorv_detail::environmentValue("LISTEN_PID");
    const char* countText = zorv_detail::environmentValue("LISTEN_FDS");
    const bool forUs = pidText != nullptr && countText != nullptr &&
                       std::strtol(pidText, nullptr, 10) == static_cast<long>(::getpid());
    const long count = forUs ? std::strtol(countText, nullptr, 10) : 0;
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    if (count <= 0) {
        return kNotActivated;
    }
    // Every descriptor handed over stays out of our children.
    for (int fd = kFirstDescriptor; fd < kFirstDescriptor + count; ++fd) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    const int fd = kFirstDescriptor;
    if (!socketOption(fd, SO_DOMAIN, AF_UNIX) || !socketOption(fd, SO_TYPE, SOCK_STREAM) ||
        !socketOption(fd, SO_ACCEPTCONN, 1)) {
        *why = QStringLiteral("descriptor %1 from the service manager is not a listening local "
                              "stream socket")
                   .arg(fd);
        return kActivationUnusable;
    }
    return fd;
}
