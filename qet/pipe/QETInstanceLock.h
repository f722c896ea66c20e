#ifndef QET_INSTANCELOCK_H
#define QET_INSTANCELOCK_H

#include <QString>

#include <string>

// The lock that makes one QET per user: taken before the socket is claimed,
// so two QETs started at the same moment never both decide that a stale
// socket is theirs to replace. An flock on "QET.lock" in the user's lock
// place (zorvshared/LockPlace.h, the place of the log mutexes, which does not
// depend on XDG_RUNTIME_DIR): the kernel lets go of it when its holder dies,
// so a QET killed with SIGKILL leaves nothing stale behind.
class QETInstanceLock {
public:
    enum Outcome {
        kTaken,
        kHeldByAnother,
        // No lock place, or the lock file cannot be used: QET goes on
        // without a lock, kept out of a second start by the socket probe
        // alone.
        kUnavailable,
    };

    QETInstanceLock() = default;
    ~QETInstanceLock();
    QETInstanceLock(const QETInstanceLock&) = delete;
    QETInstanceLock& operator=(const QETInstanceLock&) = delete;

    // Never waits. *why says what made the lock unavailable.
    Outcome take(QString* why);

    // Writes the socket this QET serves on into the lock file, under the pid
    // line, so that a tool can name it without connecting (a connection would
    // start a socket-activated QET). Whether the recording QET still lives is
    // the lock's to say, not the file's: the text stays after it ends.
    void recordSocket(const QString& path);

private:
    int mFd = -1;
};

#endif
