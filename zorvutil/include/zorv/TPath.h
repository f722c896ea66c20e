#ifndef ZORV_TPATH_H
#define ZORV_TPATH_H

#include "TStr.h"

// A file system path: a text with a few file system operations.
class ZORV_UTIL_EXPORT TPath : public TStr {
public:
    TPath() = default;
    TPath(const TStr& path);
    ~TPath();

    // Appends the text as it stands; no separator of its own.
    TPath& operator+=(const char* text);

    // True when something (file, directory, ...) exists at the path.
    bool exists() const;
    // Creates the directory and every missing parent with the given mode
    // (less the umask). True when the path is a directory afterwards.
    bool mkpath(int mode) const;
};

#endif
