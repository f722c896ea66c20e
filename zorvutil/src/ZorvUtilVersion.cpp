#include <zorv/ZorvUtilVersion.h>

#ifndef ZORV_VERSION_TEXT
#error "ZORV_VERSION_TEXT must be defined by the build"
#endif

extern "C" const char* zorvUtilVersionString() {
    return ZORV_VERSION_TEXT;
}
