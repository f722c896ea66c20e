// The pipe server, conduits and packets in process, with real sockets in a
// private runtime directory.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <qet/QETPipeClient.h>
#include <qet/QETPipeInternalConduit.h>
#include <qet/QETPipePacket.h>
#include <qet/QETPipeServer.h>
#include <qet/QETPipeSession.h>

#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

using qettest::kWaitMs;

// A packet that reports its own destruction.
class WatchedPacket : public QETPipePacket {
public:
    WatchedPacket(const QStringList& args, bool* destroyed)
        : QETPipePacket(args), mDestroyed(destroyed) {}
    ~WatchedPacket() override { *mDestroyed = true; }

private:
    bool* mDestroyed;
};

class QetPipeServerTest : public ::testing::Test {
protected:
    qettest::QetHome mHome;
    QStringList mSeen; // arguments of every packet offered, in order

    void SetUp() override { qettest::ensureApplication(); }

    std::string socketPath() const { return mHome.runtimeDir() + "/QET.pipe"; }
    std::vector<int> errorCodes() const {
        return qettest::errorCodes(mHome.zorvDataDir() + "/QET.log");
    }
    void watch(QETPipeServer& server) {
        QObject::connect(&server, &QETPipeServer::packetReceived,
                         [this](QETPipePacket* p) { mSeen += p->arguments(); });
    }

    // Clients on other threads (a blocking client would stall this thread's
    // loop), each sending every request on one connection, while the loop
    // here serves them. True when all were acknowledged with status 0.
    bool send(const QStringList& requests, int clients = 1) {
        std::atomic<int> finished(0), failed(0);
        std::vector<std::thread> threads;
        for (int t = 0; t < clients; ++t) {
            threads.emplace_back([&] {
                QETPipeClient c;
                bool ok = c.connectToServer(QString::fromStdString(socketPath()), kWaitMs);
                for (const QString& r : requests) {
                    quint32 status = 1;
                    ok = ok && c.send({r}, kWaitMs, &status) && status == 0;
                }
                failed += ok ? 0 : 1;
                ++finished;
            });
        }
        qettest::spinUntil([&] { return finished == clients; }, 3 * kWaitMs);
        for (std::thread& t : threads) {
            t.join();
        }
        return failed == 0;
    }
};

TEST_F(QetPipeServerTest, APacketIsOfferedFromTheEventLoopAndHeldUntilThen) {
    bool offered = false, pending = false;
    {
        QETPipeServer server;
        watch(server);
        QETPipePacket* packet = new WatchedPacket({QStringLiteral("a")}, &offered);
        server.handlePacket(packet, QStringLiteral("test"));
        // Not from inside the handling (which may be a socket read) ...
        EXPECT_TRUE(mSeen.isEmpty());
        EXPECT_EQ(packet->refCount(), 1);
        // ... but from the loop, after which the server lets go of it.
        ASSERT_TRUE(qettest::spinUntil([&] { return offered; }));
        EXPECT_EQ(mSeen, QStringList{QStringLiteral("a")});
        // Still queued when the server goes: released with it.
        server.handlePacket(new WatchedPacket({}, &pending), QStringLiteral("test"));
    }
    EXPECT_TRUE(pending);
}

TEST_F(QetPipeServerTest, PacketsAreCountedAndTakeTheirArgumentsUpToANull) {
    char a[] = "first", b[] = "second arg", c[] = "third";
    char* argv[] = {a, b, c, nullptr};
    QETPipePacket* packet = QETPipeConduit::packetFromCommandLine(5, argv);
    EXPECT_EQ(packet->refCount(), 0);
    packet->retain();
    packet->retain();
    packet->release();
    EXPECT_EQ(packet->arguments().size(), 3);
    packet->release(); // deleted here; ASan would see a leak otherwise
    packet = QETPipeConduit::packetFromCommandLine(2, argv);
    packet->retain();
    EXPECT_EQ(packet->arguments(),
              (QStringList{QStringLiteral("first"), QStringLiteral("second arg")}));
    packet->release();
}

TEST_F(QetPipeServerTest, TheInternalConduitTakesTheSocketsRoadWhileTheServerListens) {
    EXPECT_EQ(QETPipeInternalConduit::connect(), nullptr);
    QETPipeSession* kept = nullptr;
    {
        QETPipeServer server;
        watch(server);
        EXPECT_EQ(server.conduit(), nullptr);
        ASSERT_TRUE(server.listen());
        ASSERT_NE(server.conduit(), nullptr);
        QETPipeSession* session = QETPipeInternalConduit::connect();
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(QETPipeInternalConduit::connect(), session);

        bool destroyed = false;
        QETPipePacket* packet = new WatchedPacket({QStringLiteral("inside")}, &destroyed);
        packet->retain();
        EXPECT_TRUE(session->send(packet));
        packet->release();
        EXPECT_FALSE(destroyed); // the server holds it until it is offered
        ASSERT_TRUE(send({QStringLiteral("outside")}));
        ASSERT_TRUE(qettest::spinUntil([&] { return mSeen.size() == 2; }));
        EXPECT_TRUE(destroyed);
        EXPECT_EQ(mSeen, (QStringList{QStringLiteral("inside"), QStringLiteral("outside")}));
        kept = session;
        kept->retain();
    }
    // The server is gone; a session someone kept refuses further packets.
    EXPECT_EQ(QETPipeInternalConduit::connect(), nullptr);
    bool destroyed = false;
    QETPipePacket* late = new WatchedPacket({}, &destroyed);
    late->retain();
    EXPECT_FALSE(kept->send(late));
    late->release();
    EXPECT_TRUE(destroyed);
    kept->release();
}

TEST_F(QetPipeServerTest, AHandlerRunningANestedLoopDoesNotDisturbTheConnections) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    QObject::connect(&server, &QETPipeServer::packetReceived, [&](QETPipePacket* p) {
        // A modal dialog, say: sockets are read, and may close, while this
        // handler is still on the stack.
        p->retain();
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        mSeen += p->arguments();
        p->release();
    });
    QStringList requests;
    for (int i = 0; i < 20; ++i) {
        requests << QString::number(i);
    }
    EXPECT_TRUE(send(requests, 3));
    EXPECT_TRUE(qettest::spinUntil([&] { return mSeen.size() == 60; }));
    EXPECT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }));
}

TEST_F(QetPipeServerTest, TheConnectionCapRefusesAndRecordsTheExtraOnes) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    server.setMaxConnections(1);
    qettest::RawClient first(socketPath());
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 1; }));
    qettest::RawClient second(socketPath());
    ASSERT_TRUE(qettest::spinUntil([&] { return second.closedWithin(0); }));
    EXPECT_FALSE(first.closedWithin(0));
    EXPECT_EQ(errorCodes(), std::vector<int>{5});

    first.close();
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }));
    EXPECT_TRUE(send({QStringLiteral("room again")}));

    server.setMaxConnections(-1);
    std::vector<std::unique_ptr<qettest::RawClient>> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(std::make_unique<qettest::RawClient>(socketPath()));
    }
    EXPECT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 20; }));
    EXPECT_EQ(errorCodes().size(), 1u);
}

TEST_F(QetPipeServerTest, AConnectionStuckInsideAFrameIsDroppedWithOneRecord) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    server.setTimeout(200);
    qettest::RawClient slow(socketPath());
    const std::string frame = qettest::requestFrame({"never", "finished"});
    ASSERT_TRUE(slow.sendBytes(frame.substr(0, frame.size() / 2)));
    ASSERT_TRUE(qettest::spinUntil([&] { return slow.closedWithin(0); }));
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }));
    // The idle record only, not also a malformed-frame one for the half
    // frame left behind.
    EXPECT_EQ(errorCodes(), std::vector<int>{6});
}

TEST_F(QetPipeServerTest, SomethingElseAtTheSocketPathIsLeftAloneAndReported) {
    zorvtest::writeFile(socketPath(), "not a socket");
    QETPipeServer server;
    EXPECT_FALSE(server.listen());
    EXPECT_EQ(server.conduit(), nullptr);
    EXPECT_EQ(zorvtest::readFile(socketPath()), "not a socket");
    EXPECT_EQ(errorCodes(), std::vector<int>{1});
}

// A listening descriptor that stops accepting (here replaced under the server)
// is reported, so that QET ends and a service manager can start it again.
TEST_F(QetPipeServerTest, AListeningSocketThatStopsAcceptingIsReported) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    bool lost = false;
    QObject::connect(&server, &QETPipeServer::listenerLost, [&] { lost = true; });
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_un address = {};
        socklen_t size = sizeof address;
        int listening = 0;
        socklen_t optionSize = sizeof listening;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) == 0 &&
            socketPath() == address.sun_path &&
            ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &optionSize) == 0 &&
            listening == 1) {
            const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            ::dup2(null, fd);
            ::close(null);
        }
    }
    ASSERT_TRUE(qettest::spinUntil([&] { return lost; }));
    EXPECT_EQ(server.conduit(), nullptr);
    EXPECT_EQ(errorCodes(), std::vector<int>{1});
}

// XDG_RUNTIME_DIR only when it is a directory of ours that nobody else may
// write in (links followed); anything else falls back to the lock place.
TEST_F(QetPipeServerTest, TheSocketFollowsAPrivateXdgRuntimeDirElseTheLockPlace) {
    EXPECT_EQ(QETPipeServer::socketPath().toStdString(), socketPath());
    zorvtest::TempDir dir;
    zorvtest::writeFile(dir.file("file"), "x");
    ::mkdir(dir.file("group").c_str(), 0700);
    ::chmod(dir.file("group").c_str(), 0770);
    ::mkdir(dir.file("own").c_str(), 0700);
    ASSERT_EQ(::symlink(dir.file("own").c_str(), dir.file("link").c_str()), 0);
    std::vector<std::string> refused = {"", "relative/dir", dir.file("file"), dir.file("group"),
                                        dir.file("missing")};
    if (::geteuid() == 0) {
        ::mkdir(dir.file("foreign").c_str(), 0700);
        ASSERT_EQ(::chown(dir.file("foreign").c_str(), 65534, 65534), 0);
        refused.push_back(dir.file("foreign"));
    }
    const std::string fallback = mHome.lockDir() + "/QET.pipe";
    for (const std::string& runtime : refused) {
        zorvtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime.c_str());
        EXPECT_EQ(QETPipeServer::socketPath().toStdString(), fallback) << runtime;
    }
    zorvtest::ScopedEnv unset("XDG_RUNTIME_DIR", nullptr);
    EXPECT_EQ(QETPipeServer::socketPath().toStdString(), fallback);
    {
        zorvtest::ScopedEnv link("XDG_RUNTIME_DIR", dir.file("link").c_str());
        EXPECT_EQ(QETPipeServer::socketPath().toStdString(), dir.file("link") + "/QET.pipe");
    }
    zorvtest::ScopedEnv file("XDG_RUNTIME_DIR", dir.file("file").c_str());
    QETPipeServer server;
    EXPECT_TRUE(server.listen());
    EXPECT_TRUE(qettest::isSocket(fallback));
}

} // namespace
