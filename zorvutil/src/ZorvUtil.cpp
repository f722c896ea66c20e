#include <zorv/ZorvUtil.h>

#include "TrustedDataSearch.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace {

const char* const kSubdirectory = "/zorv";
const char* const kErrorCodesFileName = "ZorvErrorCodes.xml";

// An environment value that names an absolute path, or null. Relative values
// are ignored as the XDG conventions ask: they would depend on the current
// directory.
const char* absoluteEnv(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
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
    const std::vector<zorv_detail::TrustedDataPlace> places =
        zorv_detail::searchTrustedData(getZorvLocalUserDataLocation().bytes(), name);
    if (!places.empty() && places.back().trusted) {
        return TStr(places.back().directory);
    }
    return TStr();
}

} // namespace ZorvUtil
