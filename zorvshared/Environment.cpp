#include "Environment.h"

#include <cstdlib>
#include <sys/auxv.h>

namespace zorv_detail {

bool secureExecution() {
    return ::getauxval(AT_SECURE) != 0;
}

const char* environmentValue(const char* name) {
    return ::secure_getenv(name);
}

} // namespace zorv_detail
