#include "QETInstanceLock.h"

#include "LockPlace.h"
#include "QetFiles.h"
#include "SystemCalls.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

QETInstanceLock::~QETInstanceLock() {
    // The file stays: removing it would let a QET that opened it meanwhile
    // lock a name nobody else can find any more.
    if (mFd >= 0) {
        ::close(mFd);
    }
}

QETInstanceLock::Outcome QETInstanceLock::take(QString* why) {
    std::string reason;
    const std::string dir = zorv_detail::lockDirectory(&reason);
    if (dir.empty()) {
        *why = QStringLiteral("no lock place: %1").arg(QString::fromLocal8Bit(reason.c_str()));
        return kUnavailable;
    }
    const std::string path = dir + "/" + zorv_detail::kQetInstanceLockName;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
        *why = QStringLiteral("cannot use %1: %2")
                   .arg(QString::fromLocal8Bit(path.c_str()),
                        fd < 0 ? QString::fromLocal8Bit(std::strerror(errno))
                               : QStringLiteral("not a file of ours"));
        if (fd >= 0) {
            ::close(fd);
        }
        return kUnavailable;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        ::close(fd);
        if (error == EWOULDBLOCK) {
            return kHeldByAnother;
        }
        *why = QStringLiteral("cannot lock %1: %2")
                   .arg(QString::fromLocal8Bit(path.c_str()),
                        QString::fromLocal8Bit(std::strerror(error)));
        return kUnavailable;
    }
    // For a person or a tool looking at the file; the lock itself is the flock.
    const std::string text = zorv_detail::qetInstanceText(::getpid(), std::string());
    if (::ftruncate(fd, 0) != 0 || !zorv_detail::writeAll(fd, text.data(), text.size())) {
        // Only the note is lost.
    }
    mFd = fd;
    return kTaken;
}

void QETInstanceLock::recordSocket(const QString& path) {
    if (mFd < 0) {
        return;
    }
    // The pid line stays as it was and the whole text goes out in one write,
    // so a reader sees the pid alone or the pid and the whole socket line.
    const std::string text =
        zorv_detail::qetInstanceText(::getpid(), QFile::encodeName(path).toStdString());
    if (::pwrite(mFd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size()) ||
        ::ftruncate(mFd, static_cast<off_t>(text.size())) != 0) {
        // Only the note is lost.
    }
}
