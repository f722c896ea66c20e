#include "write/LogFileAccess.h"

#include "read/PathName.h"

#include "DirectoryPolicy.h"
#include "MutexFileEntry.h"
#include "OpenTrustedPath.h"
#include "RefusalCount.h"

#include <zorv/ZorvMutex.h>
#include <zorv/ZorvUtil.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvlog {

std::string appendProblem(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) == 0) {
        // Never blocks, also on a FIFO or a device, and never becomes our
        // terminal: only whether it opens counts.
        const int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            return std::strerror(errno);
        }
        ::close(fd);
        return std::string();
    }
    if (errno != ENOENT) {
        return std::strerror(errno);
    }
    const std::string dir = directoryOf(path);
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0) {
        return std::string(std::strerror(errno)) + " (the directory " + dir + ")";
    }
    return std::string();
}

namespace {

// What the walk to the file found at its directory, for openForRecord.
struct RecordPlace {
    std::string directory;
    std::string cannotWrite; // why the user may not make a file there
    bool reached = false;
    bool refused = false;
};

// The library's own judge of the directory (its data directory's policy),
// and whether a missing file could be made there.
bool judgeForRecord(int dirFd, const struct stat& dir, zorv_detail::PathMemo& memo,
                    std::string* reason, void* context) {
    RecordPlace& place = *static_cast<RecordPlace*>(context);
    place.reached = true;
    place.cannotWrite.clear();
    if (::faccessat(dirFd, ".", W_OK | X_OK, AT_EACCESS) != 0) {
        place.cannotWrite = std::strerror(errno);
    }
    const std::string own = ZorvUtil::getZorvLocalUserDataLocation().bytes();
    std::string why;
    if (zorv_detail::dataDirectoryAllows(own, dir, memo, &why)) {
        return true;
    }
    place.refused = true;
    *reason = "the directory " + own + " " + why + ", so the library refuses it";
    return false;
}

// Counted where the library counts its own, in the mutex file of the log's
// name, made here when no writer made it yet: a refused command never took
// the lock.
void countRefused(const std::string& path, zorv_detail::Refusal why) {
    ZorvMutex mutex;
    if (mutex.create(TStr(zorv_detail::logMutexName(path).c_str()))) {
        zorv_detail::countRefusal(path, why);
    }
}

} // namespace

bool openForRecord(const std::string& path, std::string* problem, bool* refused) {
    *refused = false;
    problem->clear();
    RecordPlace place;
    zorv_detail::DirectoryJudge judge;
    judge.judge = judgeForRecord;
    judge.context = &place;
    zorv_detail::PathMemo memo;
    std::string why;
    // Never blocks, also on a FIFO or a device, and never becomes our
    // terminal: only whether it opens counts.
    const int fd = zorv_detail::openTrustedPath(
        path.c_str(), O_RDWR | O_APPEND | O_NONBLOCK | O_NOCTTY, 0, judge, memo, &why);
    if (fd >= 0) {
        ::close(fd);
        return true;
    }
    const int error = errno;
    if (error == ENOENT && place.reached && !place.refused) {
        if (place.cannotWrite.empty()) {
            return true;
        }
        *problem = place.cannotWrite + " (the directory " + directoryOf(path) + ")";
        countRefused(path, zorv_detail::Refusal::Open);
        return false;
    }
    countRefused(path, memo.refused != zorv_detail::Refusal::None ? memo.refused
                                                                  : zorv_detail::Refusal::Open);
    // A refusal of the rules (another user's link, a file with a second name
    // in a shared directory) is said as the walk found it.
    *refused = !why.empty();
    *problem = why.empty() ? std::strerror(error) : why;
    return false;
}

} // namespace zorvlog
