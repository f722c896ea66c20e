#ifndef QET_PIPESESSION_H
#define QET_PIPESESSION_H

#include "QETBase.h"

class QETPipeInternalConduit;
class QETPipePacket;

// A connection over the internal conduit.
class QET_EXPORT QETPipeSession : public QETBase {
public:
    // Hands the packet to the server through the conduit's handling; the
    // server retains it for as long as it needs it. False when the conduit is
    // gone or the packet is null.
    bool send(QETPipePacket* packet);

private:
    friend class QETPipeInternalConduit;
    explicit QETPipeSession(QETPipeInternalConduit* conduit);
    ~QETPipeSession() override;
    void detach() { mConduit = nullptr; }

    QETPipeInternalConduit* mConduit;
};

#endif
