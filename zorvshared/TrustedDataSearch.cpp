#include "TrustedDataSearch.h"

#include "DirectoryPolicy.h"
#include "SystemCalls.h"

#include <sys/stat.h>

namespace zorv_detail {

namespace {

const char* const kSubdirectory = "/zorv";
const char* const kDefaultDataDirs = "/usr/local/share:/usr/share";

std::vector<std::string> directories(const std::string& localDataDir) {
    std::vector<std::string> dirs;
    if (!localDataDir.empty()) {
        dirs.push_back(localDataDir);
    }
    const char* dataDirs = environmentValue("XDG_DATA_DIRS");
    const std::string list =
        dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : kDefaultDataDirs;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find(':', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        // Relative entries are ignored, as the XDG conventions ask: they
        // would depend on the current directory.
        const std::string entry = list.substr(start, end - start);
        if (!entry.empty() && entry[0] == '/') {
            dirs.push_back(entry + kSubdirectory);
        }
        start = end + 1;
    }
    // The one switch that only takes away: the tests make "no table anywhere"
    // true for themselves whether or not this build was installed. Ignored by
    // setuid and setgid programs, like every variable a caller could set.
    if (environmentValue("ZORV_SKIP_INSTALLED_DATA") == nullptr) {
        dirs.push_back(installedDataDirectory());
    }
    return dirs;
}

} // namespace

std::string installedDataDirectory() {
    return ZORV_INSTALL_DATADIR;
}

std::vector<TrustedDataPlace> searchTrustedData(const std::string& localDataDir,
                                                const std::string& fileName, bool everyPlace) {
    std::vector<TrustedDataPlace> places;
    for (const std::string& dir : directories(localDataDir)) {
        TrustedDataPlace place;
        place.directory = dir;
        place.path = dir + "/" + fileName;
        struct stat st;
        place.present = ::lstat(place.path.c_str(), &st) == 0;
        // A file that another user could have put there, or changed, is
        // passed over as if it were missing, and the search goes on.
        place.trusted = place.present && trustedFileAllowed(place.path, &place.reason);
        places.push_back(place);
        if (place.trusted && !everyPlace) {
            break;
        }
    }
    return places;
}

} // namespace zorv_detail
