#include "read/PathName.h"

namespace zorvlog {

std::string baseNameOf(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace zorvlog
