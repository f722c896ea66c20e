#include "DefaultLog.h"

#include "SystemCalls.h"

#include <zorv/TPath.h>
#include <zorv/ZorvUtil.h>

#include <string>

namespace zorv_detail {

namespace {
// rwxrwx---: the user's group may read the logs as well.
constexpr int kDirectoryMode = 0770;
} // namespace

void switchOnWhenSet(bool& switchedOn, const char* variable) {
    if (environmentValue(variable) != nullptr) {
        switchedOn = true;
    }
}

void useDefaultFile(ZorvLogger& logger, TStr& path, const char* fileName) {
    const TStr location = ZorvUtil::getZorvLocalUserDataLocation();
    if (location.isEmpty()) {
        path = TStr();
        return;
    }
    // Made even when the logger stays off, so that switching the variable on
    // for the next run finds a place to write.
    TPath(location).mkpath(kDirectoryMode);
    std::string joined = location.bytes();
    while (!joined.empty() && joined.back() == '/') {
        joined.pop_back();
    }
    joined += '/';
    joined += fileName;
    path = TStr(std::move(joined));
    logger.setLogFileName(path);
}

} // namespace zorv_detail
