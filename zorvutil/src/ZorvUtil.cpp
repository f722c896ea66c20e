#include <zorv/ZorvUtil.h>

#include "DirectoryPolicy.h"

#include <cstdlib>
#include <string>
#include <vector>

#ifndef ZORV_INSTALL_DATADIR
#define ZORV_INSTALL_DATADIR "/usr/local/share/zorv"
#endif

namespace {

const char* const kSubdirectory = "/zorv";
const char* const kErrorCodesFileName = "ZorvErrorCodes.xml";
const char* const kDefaultDataDirs = "/usr/local/share:/usr/share";

// An environment value that names an absolute path, or null. Relative values
// are ignored as the XDG conventions ask: they would depend on the current
// directory.
const char* absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

std::vector<std::string> candidateDirectories() {
    std::vector<std::string> dirs;
    const TStr local = ZorvUtil::getZorvLocalUserDataLocation();
    if (!local.isEmpty()) {
        dirs.push_back(local.bytes());
    }
    const char* dataDirs = std::getenv("XDG_DATA_DIRS");
    const std::string list =
        dataDirs != nullptr && dataDirs[0] != '\0' ? dataDirs : kDefaultDataDirs;
    std::string::size_type start = 0;
    while (start <= list.size()) {
        std::string::size_type end = list.find(':', start);
        if (end == std::string::npos) {
            end = list.size();
        }
        const std::string entry = list.substr(start, end - start);
        if (!entry.empty() && entry[0] == '/') {
            dirs.push_back(entry + kSubdirectory);
        }
        start = end + 1;
    }
    // The one switch that only takes away: the tests make "no table anywhere"
    // true for themselves whether or not this build was installed. Ignored by
    // setuid and setgid programs, like any variable a caller could set.
    if (::secure_getenv("ZORV_SKIP_INSTALLED_DATA") == nullptr) {
        dirs.push_back(ZORV_INSTALL_DATADIR);
    }
    return dirs;
}

} // namespace

namespace ZorvUtil {

TStr getZorvLocalUserDataLocation() {
    if (const char* dataHome = absoluteEnv("XDG_DATA_HOME")) {
        return TStr(std::string(dataHome) + kSubdirectory);
    }
    if (const char* home = absoluteEnv("HOME")) {
        return TStr(std::string(home) + "/.local/share" + kSubdirectory);
    }
    return TStr();
}

TStr getZorvFileLocation(ZorvFileType type, const TStr& fileName) {
    if (type != kZorvErrorCodesFile) {
        return TStr();
    }
    const std::string name = fileName.isEmpty() ? kErrorCodesFileName : fileName.bytes();
    // Only a plain file name: the caller must not be able to walk out of the
    // directories searched here.
    if (name.find('/') != std::string::npos || name == "." || name == "..") {
        return TStr();
    }
    // A file that another user could have put there, or changed, is passed
    // over as if it were missing, and the search goes on.
    for (const std::string& dir : candidateDirectories()) {
        if (zorv_detail::trustedFileAllowed(dir + "/" + name)) {
            return TStr(dir);
        }
    }
    return TStr();
}

} // namespace ZorvUtil
