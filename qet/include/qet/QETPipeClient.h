#ifndef QET_PIPECLIENT_H
#define QET_PIPECLIENT_H

#include "QETExport.h"

#include <QString>
#include <QStringList>

class QLocalSocket;

// A blocking client of the QET pipe, for tools that have no event loop: one
// connection, requests sent one at a time, each waiting for its
// acknowledgement.
class QET_EXPORT QETPipeClient {
public:
    QETPipeClient();
    ~QETPipeClient();

    QETPipeClient(const QETPipeClient&) = delete;
    QETPipeClient& operator=(const QETPipeClient&) = delete;

    // Connects to the server at path (empty: this user's QET socket).
    bool connectToServer(const QString& path, int timeoutMs);
    // The same, trying again while nothing listens there yet, for a server
    // that is still starting, until timeoutMs have passed.
    bool connectWhenListening(const QString& path, int timeoutMs);
    // Sends one request and waits for its acknowledgement; the status it
    // carries goes to *status.
    bool send(const QStringList& arguments, int timeoutMs, quint32* status = nullptr);
    void disconnectFromServer();

    // Why the last call failed.
    QString errorString() const { return mError; }

private:
    bool readExactly(char* data, qint64 size, int timeoutMs);

    QLocalSocket* mSocket;
    QString mError;
};

#endif
