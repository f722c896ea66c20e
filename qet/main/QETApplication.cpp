#include "qet/QETApplication.h"

#include "QETSignalWatcher.h"
#include "qet/QETPipeServer.h"

QETApplication::QETApplication() : mInitialized(false) {}

QETApplication::~QETApplication() {
    if (mInitialized) {
        uninitialize();
    }
    // A server that never listened may remain after a failed start.
    mServer.reset();
}

void QETApplication::initialize() {
    if (mInitialized) {
        return;
    }
    mInitialized = true;
    mSignals.reset(new QETSignalWatcher);
    mServer.reset(new QETPipeServer);
    mServer->listen();
}

void QETApplication::uninitialize() {
    if (!mInitialized) {
        return;
    }
    mInitialized = false;
    // The server first: its socket file goes away before the process can be
    // asked to stop a second time.
    mServer.reset();
    mSignals.reset();
}

QETPipeServer* QETApplication::server() const {
    return mServer.get();
}
