#ifndef QET_PIPEINTERNALCONDUIT_H
#define QET_PIPEINTERNALCONDUIT_H

#include "QETPipeConduit.h"

class QETPipeSession;

// The conduit from this process to its own pipe server. A server creates one
// when it starts listening and destroys it when it stops; there is at most one
// per process, used from the thread of the server (the main thread).
class QET_EXPORT QETPipeInternalConduit : public QETPipeConduit {
public:
    explicit QETPipeInternalConduit(QETPipeServer* server);
    ~QETPipeInternalConduit() override;

    // The session of the process's internal conduit, or null when no server
    // of this process is listening. The conduit owns the session: every call
    // returns the same one, the caller does not free it, and once the
    // conduit is gone its send() returns false (retain it to keep it that
    // long).
    static QETPipeSession* connect();

private:
    friend class QETPipeSession;
    void deliverFromSession(QETPipePacket* packet);

    QETPipeSession* mSession;
    static QETPipeInternalConduit* sCurrent;
};

#endif
