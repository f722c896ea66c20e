#include "ZorvDefaultLog.h"

#include <zorv/TPath.h>
#include <zorv/ZorvUtil.h>

#include <cstdlib>
#include <string>

namespace ZorvDefaultLog {

namespace {
// rwxrwx---: the user's group may read the logs as well.
const int kDirectoryMode = 0770;
} // namespace

TStr filePath(const char* fileName) {
    const TStr location = ZorvUtil::getZorvLocalUserDataLocation();
    if (location.isEmpty()) {
        return TStr();
    }
    TPath(location).mkpath(kDirectoryMode);

    // Whatever came back, with or without trailing slashes, and whether or not
    // the directory exists now, the name follows exactly one "/": a path that
    // depended on the outcome of mkpath would move the file between runs.
    std::string path = location.bytes();
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    path += '/';
    path += fileName;
    return TStr(std::move(path));
}

bool switchedOn(const char* variable) {
    return std::getenv(variable) != nullptr;
}

} // namespace ZorvDefaultLog
