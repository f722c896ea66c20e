#include "qet/QETPipeSession.h"

#include "qet/QETPipeInternalConduit.h"

QETPipeSession::QETPipeSession(QETPipeInternalConduit* conduit) : mConduit(conduit) {}

QETPipeSession::~QETPipeSession() = default;

bool QETPipeSession::send(QETPipePacket* packet) {
    if (mConduit == nullptr || packet == nullptr) {
        return false;
    }
    mConduit->deliverFromSession(packet);
    return true;
}
