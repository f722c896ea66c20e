#ifndef ZORVLOG_PATHNAME_H
#define ZORVLOG_PATHNAME_H

#include "DirectoryPolicy.h"

#include <string>

namespace zorvlog {

// The directory of a file path, cut as the library cuts it (the same
// function): up to the last "/" ("/" for a file in the root, "." for a bare
// name).
using zorv_detail::directoryOf;

// The file's own name: what follows the last "/".
std::string baseNameOf(const std::string& path);

} // namespace zorvlog

#endif
