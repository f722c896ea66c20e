#include "qet/QETApplication.h"

#include "QETSignalWatcher.h"
#include "qet/QETBase.h"
#include "qet/QETPipeClient.h"
#include "qet/QETPipeFrame.h"
#include "qet/QETPipeServer.h"

#include <QCoreApplication>
#include <QStringList>

namespace {
// How long a second QET waits for the first to listen, and then for its
// acknowledgement: the first may itself be starting.
constexpr int kHandOverWaitMs = 5000;
} // namespace

QETApplication::QETApplication() : mInitialized(false), mHandedOver(false) {}

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
    QObject::connect(mServer.get(), &QETPipeServer::listenerLost,
                     [] { QCoreApplication::exit(kExitListenerLost); });
    if (!mServer->listen() && mServer->anotherQetServes()) {
        handOverOrReport();
    }
}

// What users of single-instance programs expect: the command line of a second
// start reaches the one that runs.
void QETApplication::handOverOrReport() {
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    if (arguments.size() < 2) {
        mServer->reportAnotherQet();
        return;
    }
    QETPipeClient client;
    quint32 status = QETPipeFrame::kStatusHandled + 1;
    if (client.connectWhenListening(QString(), kHandOverWaitMs) &&
        client.send(arguments, kHandOverWaitMs, &status) &&
        status == QETPipeFrame::kStatusHandled) {
        mHandedOver = true;
        return;
    }
    mServer->reportAnotherQet(
        client.errorString().isEmpty()
            ? QStringLiteral("it answered the command line with status %1").arg(status)
            : QStringLiteral("the command line did not reach it: %1").arg(client.errorString()));
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
    QETBase::logDebug(QStringLiteral("stopping: %1 waits for a log lock given up")
                          .arg(QETBase::logLockWaitsGivenUp()));
}

QETPipeServer* QETApplication::server() const {
    return mServer.get();
}
