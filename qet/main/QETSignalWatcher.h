#ifndef QET_SIGNALWATCHER_H
#define QET_SIGNALWATCHER_H

#include <QObject>
#include <csignal>

class QSocketNotifier;

// Turns SIGTERM and SIGINT into a quit of the event loop. A signal handler may
// do almost nothing safely, so it only writes a byte into a socketpair; the
// notifier on the other end quits from the event loop, where destructors and
// uninitialize() can then run normally.
class QETSignalWatcher : public QObject {
    Q_OBJECT
public:
    QETSignalWatcher();
    ~QETSignalWatcher() override;

    bool isActive() const { return mNotifier != nullptr; }

private slots:
    void signalArrived();

private:
    static void handler(int signal);

    QSocketNotifier* mNotifier;
    struct sigaction mOldTerm;
    struct sigaction mOldInt;
    static int sFds[2];
};

#endif
