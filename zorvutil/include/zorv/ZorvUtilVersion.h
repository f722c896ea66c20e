#ifndef ZORV_UTIL_VERSION_H
#define ZORV_UTIL_VERSION_H

#include "ZorvUtilExport.h"

extern "C" {
// The utility library's version, for example "5.0.0". Static storage.
ZORV_UTIL_EXPORT const char* zorvUtilVersionString();
}

#endif
