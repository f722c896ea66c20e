#include "SystemCalls.h"

#include <cerrno>
#include <cstdlib>
#include <sys/auxv.h>
#include <unistd.h>

namespace zorv_detail {

namespace {

// One write of the loop below: the bytes taken, or -1 with errno set.
template <typename Write> bool writeEach(const char* data, std::size_t size, Write write) {
    while (size > 0) {
        const ssize_t n = write(data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (n == 0) {
                errno = ENOSPC;
            }
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool writeAll(int fd, const char* data, std::size_t size) {
    return writeEach(data, size,
                     [fd](const char* from, std::size_t n) { return ::write(fd, from, n); });
}

bool writeAllAt(int fd, const char* data, std::size_t size, off_t at) {
    const char* const first = data;
    return writeEach(data, size, [fd, first, at](const char* from, std::size_t n) {
        return ::pwrite(fd, from, n, at + (from - first));
    });
}

std::string directoryOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".")
           : slash == 0               ? std::string("/")
                                      : path.substr(0, slash);
}

std::string uidText(uid_t uid) {
    return "uid " + std::to_string(static_cast<unsigned long>(uid));
}

bool secureExecution() {
    return ::getauxval(AT_SECURE) != 0;
}

const char* environmentValue(const char* name) {
    return ::secure_getenv(name);
}

} // namespace zorv_detail
