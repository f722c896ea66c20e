#include "qet/QETPipeConduit.h"

#include "qet/QETPipePacket.h"
#include "qet/QETPipeServer.h"

QETPipeConduit::QETPipeConduit(QETPipeServer* server) : mServer(server) {}

QETPipeConduit::~QETPipeConduit() = default;

QETPipePacket* QETPipeConduit::packetFromCommandLine(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; argv != nullptr && i < argc && argv[i] != nullptr; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    return new QETPipePacket(arguments);
}

void QETPipeConduit::deliver(QETPipePacket* packet, const QString& origin) {
    mServer->handlePacket(packet, origin);
}
