#ifndef ZORV_DEFAULTLOG_H
#define ZORV_DEFAULTLOG_H

#include <zorv/TStr.h>

// What the debug and the performance logger share: both choose a file of their
// own in the local user data directory and are switched on by the presence of
// an environment variable. Internal to the library.
namespace ZorvDefaultLog {

// The path of fileName in the local user data directory, whose creation (mode
// 0770) is attempted first. Location and name are joined with exactly one "/"
// whether or not the directory could be made. Empty when the utility library
// knows no location at all: a bare file name would land in whatever the
// current directory happens to be. Whether the directory may be written into
// is the file's to judge when it is opened (the directory policy).
TStr filePath(const char* fileName);

// True when the variable is present in the environment, whatever its value.
bool switchedOn(const char* variable);

} // namespace ZorvDefaultLog

#endif
