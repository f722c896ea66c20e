#include "qet/QETPipeInternalConduit.h"

#include "qet/QETPipeSession.h"

QETPipeInternalConduit* QETPipeInternalConduit::sCurrent = nullptr;

QETPipeInternalConduit::QETPipeInternalConduit(QETPipeServer* server)
    : QETPipeConduit(server), mSession(nullptr) {
    sCurrent = this;
}

QETPipeInternalConduit::~QETPipeInternalConduit() {
    if (sCurrent == this) {
        sCurrent = nullptr;
    }
    if (mSession != nullptr) {
        // Someone may still hold the session: it must not reach a conduit
        // that no longer exists.
        mSession->detach();
        mSession->release();
    }
}

QETPipeSession* QETPipeInternalConduit::connect() {
    QETPipeInternalConduit* conduit = sCurrent;
    if (conduit == nullptr) {
        return nullptr;
    }
    if (conduit->mSession == nullptr) {
        conduit->mSession = new QETPipeSession(conduit);
        conduit->mSession->retain();
    }
    return conduit->mSession;
}

void QETPipeInternalConduit::deliverFromSession(QETPipePacket* packet) {
    deliver(packet, QStringLiteral("internal conduit"));
}
