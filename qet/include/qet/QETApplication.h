#ifndef QET_APPLICATION_H
#define QET_APPLICATION_H

#include "QETExport.h"

#include <memory>

class QETPipeServer;
class QETSignalWatcher;

// The application side of QET that is not Qt's: the pipe server and the
// orderly end on SIGTERM/SIGINT. Needs a QCoreApplication to exist.
class QET_EXPORT QETApplication {
public:
    QETApplication();
    virtual ~QETApplication();

    QETApplication(const QETApplication&) = delete;
    QETApplication& operator=(const QETApplication&) = delete;

    // Creates the pipe server and starts it listening, and makes SIGTERM and
    // SIGINT quit the event loop. A server that cannot listen stays, without
    // a conduit. A second call does nothing.
    virtual void initialize();
    // Stops the server (removing its socket) and restores the signal
    // handlers. Also done by the destructor when still needed.
    virtual void uninitialize();

    QETPipeServer* server() const;
    bool isInitialized() const { return mInitialized; }

private:
    std::unique_ptr<QETSignalWatcher> mSignals;
    std::unique_ptr<QETPipeServer> mServer;
    bool mInitialized;
};

#endif
