#ifndef QET_MAIN_H
#define QET_MAIN_H

#include <QString>
#include <type_traits>

// The body of QET's main, written against the application libraries' names
// only, so that the tests run this very code with doubles of those classes.
// Base, App, Conduit and InternalConduit are QETBase, QETQtApplication,
// QETPipeConduit and QETPipeInternalConduit in the program.

namespace qet {

constexpr long kPipeTimeoutMs = 5000;
constexpr long kNoConnectionLimit = -1;
// Exit status when there is no pipe server at all. Without a conduit the
// application says (another QET may have taken this one's command line).
constexpr int kExitNotServing = 1;

// Holds main's own reference to the packet from before the send until after
// it, also when the send throws.
template <class Packet> class Reference {
public:
    explicit Reference(Packet* packet) : mPacket(packet) { mPacket->retain(); }
    ~Reference() { mPacket->release(); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;
    Packet* get() const { return mPacket; }

private:
    Packet* mPacket;
};

template <class Base, class App, class Conduit, class InternalConduit>
int run(int& argc, char** argv) {
    // Without a handler somewhere the runtime may call terminate() before
    // unwinding anything. This one guarantees that an exception leaving main
    // first destroys the application object (or the "starting" text) on its
    // way out.
    try {
        Base::logDebug(QString::fromLatin1("starting"));
        int status = kExitNotServing;
        {
            App app(argc, argv, true);
            app.initialize();
            App::setQuitOnLastWindowClosed(false);
            auto* server = app.server();
            if (server != nullptr && server->conduit() != nullptr) {
                // server() is asked afresh for each setting: the application
                // may replace its server.
                app.server()->setTimeout(kPipeTimeoutMs);
                app.server()->setMaxConnections(kNoConnectionLimit);
                // argc as the application object left it, Qt's own options
                // taken out.
                if (argc > 2 && argv[2] != nullptr) {
                    auto* created = Conduit::packetFromCommandLine(argc - 1, argv + 1);
                    Reference<std::remove_pointer_t<decltype(created)>> packet(created);
                    auto* session = InternalConduit::connect();
                    if (session != nullptr) {
                        session->send(packet.get());
                    }
                }
                status = app.exec();
                app.uninitialize();
            } else if (server != nullptr) {
                status = app.notServingExitStatus();
            }
        }
        return status;
    } catch (...) {
        throw;
    }
}

} // namespace qet

#endif
