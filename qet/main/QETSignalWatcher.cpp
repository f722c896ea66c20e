#include "QETSignalWatcher.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

int QETSignalWatcher::sFds[2] = {-1, -1};

QETSignalWatcher::QETSignalWatcher() : mNotifier(nullptr) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sFds) != 0) {
        sFds[0] = sFds[1] = -1;
        return;
    }
    // A burst of signals must never block the handler: extra bytes beyond a
    // full buffer are simply lost, one is enough to quit.
    ::fcntl(sFds[1], F_SETFL, ::fcntl(sFds[1], F_GETFL) | O_NONBLOCK);
    ::fcntl(sFds[0], F_SETFL, ::fcntl(sFds[0], F_GETFL) | O_NONBLOCK);
    mNotifier = new QSocketNotifier(sFds[0], QSocketNotifier::Read, this);
    connect(mNotifier, SIGNAL(activated(int)), this, SLOT(signalArrived()));

    struct sigaction action = {};
    action.sa_handler = &QETSignalWatcher::handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, &mOldTerm);
    ::sigaction(SIGINT, &action, &mOldInt);
}

QETSignalWatcher::~QETSignalWatcher() {
    if (mNotifier == nullptr) {
        return;
    }
    // Handlers first, so no signal writes into a descriptor being closed.
    ::sigaction(SIGTERM, &mOldTerm, nullptr);
    ::sigaction(SIGINT, &mOldInt, nullptr);
    delete mNotifier;
    ::close(sFds[0]);
    ::close(sFds[1]);
    sFds[0] = sFds[1] = -1;
}

void QETSignalWatcher::handler(int) {
    const int saved = errno;
    const char byte = 1;
    if (::write(sFds[1], &byte, 1) < 0) {
        // Full or closed: nothing can be done from a handler.
    }
    errno = saved;
}

void QETSignalWatcher::signalArrived() {
    char buffer[64];
    while (::read(sFds[0], buffer, sizeof buffer) > 0) {
    }
    QCoreApplication::quit();
}
