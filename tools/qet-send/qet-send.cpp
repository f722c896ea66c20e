// qet-send [--] ARG...: hands one request to the running QET of this user and
// waits for its acknowledgement. Only a first argument of --help or --version
// is its own; every other word, and everything after a leading "--", is sent.

#include <qet/QETPipeClient.h>

#include <QCoreApplication>
#include <QStringList>

#include <cstdio>
#include <cstring>

namespace {

constexpr int kConnectTimeoutMs = 5000;
constexpr int kAcknowledgementTimeoutMs = 5000;
constexpr int kExitSent = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

const char kHelp[] =
    "Usage: qet-send [--] ARG...\n"
    "\n"
    "Hands one request, the words ARG..., to the QET of this user and waits up to\n"
    "5 seconds for its acknowledgement. The socket is $XDG_RUNTIME_DIR/QET.pipe when\n"
    "that is a private directory of the user's, else QET.pipe in the user's lock\n"
    "place ($ZORV_LOCK_DIR, else /dev/shm/zorv-UID, or ~/.cache/zorv/locks when\n"
    "another user holds that).\n"
    "Only a first argument of --help or --version is read by qet-send itself; a\n"
    "leading \"--\" is dropped and everything after it is sent as it stands, so\n"
    "'qet-send -- --help' sends the word \"--help\".\n"
    "\n"
    "  --help      show this help and exit\n"
    "  --version   show the version and exit\n"
    "\n"
    "Exit status: 0 acknowledged; 1 no QET serves this user, no acknowledgement\n"
    "within 5 s, or QET answered with a status other than 0; 2 no arguments.\n";

} // namespace

int main(int argc, char** argv) {
    int first = 1;
    if (argc > 1 && std::strcmp(argv[1], "--help") == 0) {
        std::fputs(kHelp, stdout);
        return kExitSent;
    }
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("qet-send %s\n", ZORV_VERSION_TEXT);
        return kExitSent;
    }
    if (argc > 1 && std::strcmp(argv[1], "--") == 0) {
        first = 2;
    }
    if (argc <= first) {
        std::fprintf(stderr, "usage: qet-send [--] ARG...\nTry 'qet-send --help'.\n");
        return kExitUsage;
    }
    // No QCoreApplication: the blocking client needs no event loop, and the
    // arguments must reach QET untouched, Qt-looking options included.
    QStringList arguments;
    for (int i = first; i < argc; ++i) {
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
