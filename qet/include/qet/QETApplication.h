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
    // The exit status when the pipe socket stops accepting: a service
    // manager starts QET again at the next request.
    static constexpr int kExitListenerLost = 1;

    QETApplication();
    virtual ~QETApplication();

    QETApplication(const QETApplication&) = delete;
    QETApplication& operator=(const QETApplication&) = delete;

    // Creates the pipe server and starts it listening, and makes SIGTERM and
    // SIGINT quit the event loop. A server that cannot listen stays, without
    // a conduit; when that is because another QET serves this user, two or
    // more arguments are handed to that QET as one request. A second call
    // does nothing.
    virtual void initialize();
    // Stops the server (removing its socket) and restores the signal
    // handlers. Also done by the destructor when still needed.
    virtual void uninitialize();

    QETPipeServer* server() const;
    bool isInitialized() const { return mInitialized; }
    // The exit status of a QET that does not serve: 0 when the QET serving
    // this user acknowledged its command line, else 1.
    int notServingExitStatus() const { return mHandedOver ? 0 : 1; }

private:
    void handOverOrReport();

    std::unique_ptr<QETSignalWatcher> mSignals;
    std::unique_ptr<QETPipeServer> mServer;
    bool mInitialized;
    bool mHandedOver;
};

#endif
