#ifndef QET_PIPECONDUIT_H
#define QET_PIPECONDUIT_H

#include "QETExport.h"

#include <QString>

class QETPipePacket;
class QETPipeServer;

// A way for packets to reach a pipe server. Every conduit hands its packets to
// the server's one handling path, so a packet is treated the same whichever
// way it came.
class QET_EXPORT QETPipeConduit {
public:
    explicit QETPipeConduit(QETPipeServer* server);
    virtual ~QETPipeConduit();

    QETPipeConduit(const QETPipeConduit&) = delete;
    QETPipeConduit& operator=(const QETPipeConduit&) = delete;

    QETPipeServer* server() const { return mServer; }

    // A new packet (no owner yet) carrying argv[0..argc-1], read in the
    // local 8-bit encoding; it stops early at a null entry.
    static QETPipePacket* packetFromCommandLine(int argc, char** argv);

protected:
    void deliver(QETPipePacket* packet, const QString& origin);

private:
    QETPipeServer* mServer;
};

#endif
