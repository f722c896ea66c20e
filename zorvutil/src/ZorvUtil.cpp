#include <zorv/ZorvUtil.h>

#include "SystemCalls.h"
#include "TrustedDataSearch.h"
#include "UserAccount.h"

#include <string>
#include <vector>

namespace {

const char* const kSubdirectory = "/zorv";
const char* const kErrorCodesFileName = "ZorvErrorCodes.xml";

// An environment value that names an absolute path, or null. Relative values
// are ignored as the XDG conventions ask: they would depend on the current
// directory.
const char* absoluteEnv(const char* name) {
    const char* value = zorv_detail::environmentValue(name);
    return value != nullptr && value[0] == '/' ? value : nullptr;
}

// The home directory: $HOME; in secure execution, where no variable is read,
// the password database's home of the effective user.
std::string homeDirectory() {
    if (const char* home = absoluteEnv("HOME")) {
        return home;
    }
    zorv_detail::UserAccount user;
    return zorv_detail::secureExecution() && zorv_detail::effectiveUserAccount(user) &&
                   !user.home.empty() && user.home[0] == '/'
               ? user.home
               : std::string();
}

} // namespace

namespace ZorvUtil {

TStr getZorvLocalUserDataLocation() {
    if (const char* dataHome = absoluteEnv("XDG_DATA_HOME")) {
        return TStr(std::string(dataHome) + kSubdirectory);
    }
    const std::string home = homeDirectory();
    return home.empty() ? TStr() : TStr(home + "/.local/share" + kSubdirectory);
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
