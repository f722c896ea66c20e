#ifndef ZORV_SHARED_TRUSTEDDATASEARCH_H
#define ZORV_SHARED_TRUSTEDDATASEARCH_H

// Where a file of trusted data (the error-code table) is looked for, and what
// becomes of each place. The library takes the first file the directory
// policy trusts; zorvlog walks the same places to say which file it took and
// why the ones before it were passed over.

#include <string>
#include <vector>

namespace zorv_detail {

// The installed data directory (<prefix>/share/zorv) of this build.
std::string installedDataDirectory();

struct TrustedDataPlace {
    std::string directory;
    std::string path;     // directory + "/" + the file name
    bool present = false; // something is there (a link counts, dangling or not)
    bool trusted = false; // present, and the directory policy lets it be read
    std::string reason;   // why a present file is not trusted, for a person
};

// In order: the local user data directory (localDataDir; skipped when empty),
// each absolute $XDG_DATA_DIRS entry + "/zorv" (by default /usr/local/share
// and /usr/share), the installed data directory. Ends at the first trusted
// place unless every place is asked for. The first trusted place is the one
// the library reads.
std::vector<TrustedDataPlace> searchTrustedData(const std::string& localDataDir,
                                                const std::string& fileName,
                                                bool everyPlace = false);

} // namespace zorv_detail

#endif
