#ifndef ZORV_ERRORLOG_DEFAULTLOG_H
#define ZORV_ERRORLOG_DEFAULTLOG_H

// What the debug and the performance logger share: each writes a file of its
// own in the local user data directory, and only when an environment variable
// was present when it was built. The two classes stay direct subclasses of
// ZorvLogger; their operations are these, under their own names.

#include <zorv/TStr.h>
#include <zorv/ZorvLogger.h>

namespace zorv_detail {

// Switches on when the variable is present, whatever its value (the empty
// value and "0" included); never switches off. A setuid or setgid client
// reads no variable (zorvshared/SystemCalls.h), so nothing switches it on.
void switchOnWhenSet(bool& switchedOn, const char* variable);

// The path of fileName in the local user data directory, made first (mode
// 0770), stored in path and made the logger's file. Location and name are
// joined with exactly one "/", whether or not the directory could be made: a
// path that depended on the outcome would move the file between runs. Without
// any location the logger keeps no file name and writes nothing, rather than
// write into whatever the current directory is. Whether the directory may be
// written into is the file's to judge when it is opened (the directory
// policy).
void useDefaultFile(ZorvLogger& logger, TStr& path, const char* fileName);

} // namespace zorv_detail

#endif
