#ifndef ZORV_SHARED_SYSTEMCALLS_H
#define ZORV_SHARED_SYSTEMCALLS_H

// The small helpers around system calls and paths that every part of the
// product uses: each written once here, so that the libraries, zorvlog and QET
// cut a path, finish a write or read a variable the same way.

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace zorv_detail {

// Writes all size bytes to fd, going on after a short write or a signal.
// False, errno set, when a write fails (a write that takes nothing counts as
// a full disk, ENOSPC).
bool writeAll(int fd, const char* data, std::size_t size);
// The same, from offset at on (pwrite: the descriptor's offset stays).
bool writeAllAt(int fd, const char* data, std::size_t size, off_t at);

// The directory a path names its last component in: what stands before its
// last '/' ("/" for a component right under the root), "." without a '/'.
std::string directoryOf(const std::string& path);

// What follows the path's last '/' (the whole path without one; empty when
// it ends in '/'). Inline: every record's mutex name is cut with it.
inline std::string_view lastComponentOf(std::string_view path) {
    const std::string_view::size_type slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// "uid 1000", for messages.
std::string uidText(uid_t uid);

// Whether this process runs with rights its caller does not have (a setuid or
// setgid program: secure execution, AT_SECURE). Such a process takes nothing
// from its environment, since the caller chose every variable, and falls
// back to what the system says (the password database, the defaults).
bool secureExecution();

// The value of the variable, or null when it is unset or the process runs in
// secure execution.
const char* environmentValue(const char* name);

} // namespace zorv_detail

#endif
