#ifndef QET_PIPELISTENER_H
#define QET_PIPELISTENER_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <sys/types.h>

class QSocketNotifier;

// The listening socket of the pipe and its accept path. Qt's local server
// calls accept itself and, when one fails (out of descriptors, say), closes
// and unlinks its socket for good while still saying it listens; so QET
// accepts for itself. A spare descriptor is kept so that a connection that
// finds no descriptor left can still be taken and closed at once rather than
// left in the backlog, where it would wake the loop without end.
class QETPipeListener : public QObject {
    Q_OBJECT
public:
    explicit QETPipeListener(QObject* parent = nullptr);
    ~QETPipeListener() override;

    // A new socket at path, owner-only. False (reason in *why) when it
    // cannot be made; *inUse says whether something else took the path.
    bool listen(const QString& path, QString* why, bool* inUse);
    // A listening socket handed over by a service manager. Its file belongs
    // to the manager: close() leaves it where it is.
    void adopt(int fd);
    // Stops listening; removes the socket file only if this listener made it
    // and it is still that file.
    void close();
    bool isListening() const { return mFd >= 0; }

signals:
    // A new connection, non-blocking; the receiver owns the descriptor.
    void accepted(int fd);
    // A connection closed at once because no descriptor was left for it.
    void shed();
    // The listening descriptor no longer accepts: nothing more will arrive.
    void lost();

private slots:
    void acceptPending();

private:
    void start(int fd);
    bool shedOne();
    void pause();

    int mFd = -1;
    int mSpare = -1;
    QSocketNotifier* mNotifier = nullptr;
    QTimer mResume;
    QByteArray mOwnedPath; // empty when the file is not ours
    dev_t mOwnedDevice = 0;
    ino_t mOwnedInode = 0;
};

#endif
