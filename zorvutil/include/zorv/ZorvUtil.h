#ifndef ZORV_UTIL_H
#define ZORV_UTIL_H

#include "TStr.h"

namespace ZorvUtil {

enum ZorvFileType {
    kZorvFileUnknown = 0,
    kZorvErrorCodesFile = 5, // "ZorvErrorCodes.xml"
};

// The per-user local data directory: $XDG_DATA_HOME/zorv when XDG_DATA_HOME is
// an absolute path, else $HOME/.local/share/zorv; empty when neither can be
// had. Read from the environment at every call.
ZORV_UTIL_EXPORT TStr getZorvLocalUserDataLocation();

// The directory that holds the file of the given type: the first of the local
// user data directory, each $XDG_DATA_DIRS entry + "/zorv" (default
// /usr/local/share:/usr/share) and the install prefix's share/zorv that holds
// the file. fileName names the file to look for; empty means the type's own
// file. A file or directory that another user could have written (the
// directory policy for trusted data) is passed over. Empty when no directory
// holds it or the type has no file.
ZORV_UTIL_EXPORT TStr getZorvFileLocation(ZorvFileType type, const TStr& fileName);

} // namespace ZorvUtil

#endif
