// qet-send ARG...: hands one request to the running QET of this user and
// waits for its acknowledgement.

#include <qet/QETPipeClient.h>

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kAcknowledgementTimeoutMs = 5000;
constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: qet-send ARG...\n");
        return kExitUsage;
    }
    // No QCoreApplication: the blocking client needs no event loop, and the
    // arguments must reach QET untouched, Qt-looking options included.
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    QETPipeClient client;
    if (!client.connectToServer(QString(), kConnectTimeoutMs)) {
        std::fprintf(stderr, "qet-send: no QET is running for this user (%s)\n",
                     client.errorString().toLocal8Bit().constData());
        return kExitFailed;
    }
    quint32 status = 0;
    if (!client.send(arguments, kAcknowledgementTimeoutMs, &status)) {
        std::fprintf(stderr, "qet-send: the request was not acknowledged: %s\n",
                     client.errorString().toLocal8Bit().constData());
        return kExitFailed;
    }
    if (status != 0) {
        std::fprintf(stderr, "qet-send: QET answered with status %u\n", status);
        return kExitFailed;
    }
    return kExitSent;
}
