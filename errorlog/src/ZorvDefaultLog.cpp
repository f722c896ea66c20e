#include "ZorvDefaultLog.h"

#include <zorv/TPath.h>
#include <zorv/ZorvUtil.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace ZorvDefaultLog {

namespace {
// rwxrwx---: the user's group may read the logs as well.
const int kDirectoryMode = 0770;

// A data directory pointed at a shared place (XDG_DATA_HOME=/tmp) may find a
// "zorv" there that another user made, or a link to wherever they like: the
// default logs must not land in it. Only what is there is judged; a path that
// could not be made stays as it is, and opening the file fails.
bool isOwnDirectoryOrAbsent(const std::string& dir) {
    struct stat st;
    if (::lstat(dir.c_str(), &st) != 0) {
        return true;
    }
    if (S_ISLNK(st.st_mode)) {
        return false;
    }
    return !S_ISDIR(st.st_mode) || (st.st_uid == ::geteuid() && (st.st_mode & S_IWOTH) == 0);
}
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
    if (!isOwnDirectoryOrAbsent(path)) {
        return TStr();
    }
    path += '/';
    path += fileName;
    return TStr(std::move(path));
}

bool switchedOn(const char* variable) {
    return std::getenv(variable) != nullptr;
}

} // namespace ZorvDefaultLog
