#include "QETPipeListener.h"

#include <QFile>
#include <QSocketNotifier>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Connections taken per wake-up of the loop, so that a flood of connections
// does not starve the clients already in.
constexpr int kAcceptsPerWakeUp = 64;
// After a failure that shedding cannot help (the system out of memory or of
// descriptors with our spare gone), accepting rests this long instead of
// spinning on a backlog it cannot drain.
constexpr int kRestAfterFailureMs = 100;

int openSpare() {
    return ::open("/dev/null", O_RDONLY | O_CLOEXEC);
}

QString errorText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

} // namespace

QETPipeListener::QETPipeListener(QObject* parent) : QObject(parent) {
    mResume.setSingleShot(true);
    connect(&mResume, &QTimer::timeout, this, [this] {
        if (mNotifier != nullptr) {
            mNotifier->setEnabled(true);
        }
    });
}

QETPipeListener::~QETPipeListener() {
    close();
}

bool QETPipeListener::listen(const QString& path, QString* why, bool* inUse) {
    *inUse = false;
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    if (native.size() >= int(sizeof address.sun_path)) {
        *why = QStringLiteral("the path is too long for a socket");
        return false;
    }
    std::memcpy(address.sun_path, native.constData(), size_t(native.size()));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *why = errorText(errno);
        return false;
    }
    // Owner-only before anyone can connect: until listen() the kernel refuses
    // every connection, so the mode is set in between.
    struct stat st;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        *inUse = errno == EADDRINUSE;
        *why = errorText(errno);
        ::close(fd);
        return false;
    }
    if (::chmod(native.constData(), 0600) != 0 || ::lstat(native.constData(), &st) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        *why = errorText(errno);
        ::unlink(native.constData());
        ::close(fd);
        return false;
    }
    mOwnedPath = native;
    mOwnedDevice = st.st_dev;
    mOwnedInode = st.st_ino;
    start(fd);
    return true;
}

void QETPipeListener::adopt(int fd) {
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    mOwnedPath.clear();
    start(fd);
}

void QETPipeListener::start(int fd) {
    mFd = fd;
    mSpare = openSpare();
    mNotifier = new QSocketNotifier(mFd, QSocketNotifier::Read, this);
    connect(mNotifier, &QSocketNotifier::activated, this, &QETPipeListener::acceptPending);
}

void QETPipeListener::close() {
    mResume.stop();
    if (mNotifier != nullptr) {
        // Perhaps called from inside the notifier's own signal.
        mNotifier->setEnabled(false);
        mNotifier->deleteLater();
        mNotifier = nullptr;
    }
    if (!mOwnedPath.isEmpty()) {
        // Someone may have put another socket there meanwhile (a QET that
        // found ours gone): that one is not ours to remove.
        struct stat st;
        if (::lstat(mOwnedPath.constData(), &st) == 0 && st.st_dev == mOwnedDevice &&
            st.st_ino == mOwnedInode) {
            ::unlink(mOwnedPath.constData());
        }
        mOwnedPath.clear();
    }
    if (mFd >= 0) {
        ::close(mFd);
        mFd = -1;
    }
    if (mSpare >= 0) {
        ::close(mSpare);
        mSpare = -1;
    }
}

void QETPipeListener::acceptPending() {
    for (int taken = 0; taken < kAcceptsPerWakeUp && mFd >= 0; ++taken) {
        const int fd = ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            emit accepted(fd);
            continue;
        }
        switch (errno) {
        case EINTR:
        case ECONNABORTED: // the client left before we took it
        case EPROTO:
            continue;
        case EAGAIN:
            return;
        case EMFILE:
        case ENFILE:
            if (shedOne()) {
                emit shed();
                continue;
            }
            pause();
            return;
        case ENOBUFS:
        case ENOMEM:
            pause();
            return;
        default:
            // EBADF, EINVAL (no longer listening), ENOTSOCK...: gone for good.
            mNotifier->setEnabled(false);
            emit lost();
            return;
        }
    }
}

bool QETPipeListener::shedOne() {
    if (mSpare < 0) {
        mSpare = openSpare();
        return false;
    }
    ::close(mSpare);
    const int fd = ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
    }
    mSpare = openSpare();
    return fd >= 0;
}

void QETPipeListener::pause() {
    mNotifier->setEnabled(false);
    mResume.start(kRestAfterFailureMs);
}
