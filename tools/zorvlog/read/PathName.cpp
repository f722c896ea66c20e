#include "read/PathName.h"

namespace zorvlog {

std::string baseNameOf(const std::string& path) {
    return std::string(zorv_detail::lastComponentOf(path));
}

} // namespace zorvlog
