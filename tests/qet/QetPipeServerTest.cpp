// The pipe server, conduits and packets in process, with real sockets in a
// private runtime directory.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <qet/QETApplication.h>
#include <qet/QETPipeClient.h>
#include <qet/QETPipeConduit.h>
#include <qet/QETPipeFrame.h>
#include <qet/QETPipeInternalConduit.h>
#include <qet/QETPipePacket.h>
#include <qet/QETPipeServer.h>
#include <qet/QETPipeSession.h>

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <atomic>
#include <csignal>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kWaitMs = 20000;

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
    zorvtest::IsolatedHome mHome;

    void SetUp() override { qettest::ensureApplication(); }

    std::string socketPath() const { return mHome.runtimeDir() + "/QET.pipe"; }
    std::string qetLog() const { return mHome.zorvDataDir() + "/QET.log"; }

    // Sends requests from another thread (the blocking client would stall
    // this thread's event loop) while the event loop here serves them.
    bool sendFromThread(const std::vector<QStringList>& requests) {
        std::atomic<bool> done(false);
        bool ok = true;
        std::thread client([&] {
            QETPipeClient c;
            ok = c.connectToServer(QString::fromStdString(socketPath()), kWaitMs);
            for (const QStringList& r : requests) {
                quint32 status = 1;
                ok = ok && c.send(r, kWaitMs, &status) && status == 0;
            }
            done = true;
        });
        qettest::spinUntil([&] { return done.load(); }, 2 * kWaitMs);
        client.join();
        return ok;
    }
};

TEST_F(QetPipeServerTest, APacketIsOfferedFromTheEventLoopAndHeldUntilThen) {
    QETPipeServer server;
    QStringList seen;
    QObject::connect(&server, &QETPipeServer::packetReceived,
                     [&](QETPipePacket* p) { seen += p->arguments(); });
    bool destroyed = false;
    QETPipePacket* packet =
        new WatchedPacket({QStringLiteral("a"), QStringLiteral("b")}, &destroyed);
    server.handlePacket(packet, QStringLiteral("test"));
    // Not from inside the handling (which may be a socket read) ...
    EXPECT_TRUE(seen.isEmpty());
    EXPECT_EQ(packet->refCount(), 1);
    // ... but from the loop, after which the server lets go of it.
    ASSERT_TRUE(qettest::spinUntil([&] { return destroyed; }, kWaitMs));
    EXPECT_EQ(seen, (QStringList{QStringLiteral("a"), QStringLiteral("b")}));
}

TEST_F(QetPipeServerTest, PacketsStillPendingAreReleasedWithTheServer) {
    bool destroyed = false;
    {
        QETPipeServer server;
        server.handlePacket(new WatchedPacket({QStringLiteral("x")}, &destroyed),
                            QStringLiteral("test"));
        EXPECT_FALSE(destroyed);
    }
    EXPECT_TRUE(destroyed);
}

TEST_F(QetPipeServerTest, ReferenceCountingDeletesAtZero) {
    bool destroyed = false;
    QETPipePacket* packet = new WatchedPacket({}, &destroyed);
    EXPECT_EQ(packet->refCount(), 0);
    packet->retain();
    packet->retain();
    packet->release();
    EXPECT_FALSE(destroyed);
    EXPECT_EQ(packet->refCount(), 1);
    packet->release();
    EXPECT_TRUE(destroyed);
}

TEST_F(QetPipeServerTest, PacketFromCommandLineTakesArgcEntriesUpToANull) {
    char a[] = "first", b[] = "second arg", c[] = "third";
    char* argv[] = {a, b, c, nullptr};
    auto take = [](QETPipePacket* p) {
        p->retain();
        QStringList args = p->arguments();
        p->release();
        return args;
    };
    EXPECT_EQ(take(QETPipeConduit::packetFromCommandLine(2, argv)),
              (QStringList{QStringLiteral("first"), QStringLiteral("second arg")}));
    EXPECT_EQ(take(QETPipeConduit::packetFromCommandLine(5, argv)).size(), 3);
    EXPECT_TRUE(take(QETPipeConduit::packetFromCommandLine(0, argv)).isEmpty());
}

TEST_F(QetPipeServerTest, TheInternalConduitExistsOnlyWhileListening) {
    EXPECT_EQ(QETPipeInternalConduit::connect(), nullptr);
    QETPipeSession* kept = nullptr;
    {
        QETPipeServer server;
        EXPECT_EQ(server.conduit(), nullptr);
        ASSERT_TRUE(server.listen());
        ASSERT_NE(server.conduit(), nullptr);
        EXPECT_EQ(QETPipeInternalConduit::current(), server.conduit());

        QStringList seen;
        QObject::connect(&server, &QETPipeServer::packetReceived,
                         [&](QETPipePacket* p) { seen += p->arguments(); });
        QETPipeSession* session = QETPipeInternalConduit::connect();
        ASSERT_NE(session, nullptr);
        EXPECT_EQ(QETPipeInternalConduit::connect(), session);
        bool destroyed = false;
        QETPipePacket* packet = new WatchedPacket({QStringLiteral("own")}, &destroyed);
        packet->retain();
        EXPECT_TRUE(session->send(packet));
        packet->release();
        EXPECT_FALSE(destroyed); // the server still holds it
        ASSERT_TRUE(qettest::spinUntil([&] { return destroyed; }, kWaitMs));
        EXPECT_EQ(seen, QStringList{QStringLiteral("own")});
        kept = session;
        kept->retain();
    }
    // The server is gone; a session someone kept refuses further packets.
    EXPECT_EQ(QETPipeInternalConduit::connect(), nullptr);
    EXPECT_FALSE(kept->isOpen());
    bool destroyed = false;
    QETPipePacket* late = new WatchedPacket({}, &destroyed);
    late->retain();
    EXPECT_FALSE(kept->send(late));
    late->release();
    EXPECT_TRUE(destroyed);
    kept->release();
}

TEST_F(QetPipeServerTest, InternalAndSocketPacketsTakeTheSameRoad) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    QList<QStringList> seen;
    QObject::connect(&server, &QETPipeServer::packetReceived,
                     [&](QETPipePacket* p) { seen.append(p->arguments()); });
    char a[] = "from", b[] = "inside";
    char* argv[] = {a, b, nullptr};
    QETPipePacket* packet = QETPipeConduit::packetFromCommandLine(2, argv);
    packet->retain();
    ASSERT_TRUE(QETPipeInternalConduit::connect()->send(packet));
    packet->release();
    ASSERT_TRUE(sendFromThread({{QStringLiteral("from"), QStringLiteral("outside")}}));
    ASSERT_TRUE(qettest::spinUntil([&] { return seen.size() == 2; }, kWaitMs));
    EXPECT_EQ(seen[0], (QStringList{QStringLiteral("from"), QStringLiteral("inside")}));
    EXPECT_EQ(seen[1], (QStringList{QStringLiteral("from"), QStringLiteral("outside")}));
}

TEST_F(QetPipeServerTest, AHandlerRunningANestedLoopDoesNotDisturbTheConnections) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    QStringList seen;
    QObject::connect(&server, &QETPipeServer::packetReceived, [&](QETPipePacket* p) {
        QETPipePacket* held = p;
        held->retain();
        // A modal dialog, say: the loop runs on, sockets are read and may
        // close while this handler is still on the stack.
        QEventLoop nested;
        QTimer::singleShot(20, &nested, &QEventLoop::quit);
        nested.exec();
        seen += held->arguments();
        held->release();
    });
    std::vector<QStringList> requests;
    for (int i = 0; i < 20; ++i) {
        requests.push_back({QString::number(i)});
    }
    std::atomic<int> finished(0);
    std::atomic<bool> allOk(true);
    std::vector<std::thread> clients;
    for (int t = 0; t < 3; ++t) {
        clients.emplace_back([&] {
            QETPipeClient c;
            bool ok = c.connectToServer(QString::fromStdString(socketPath()), kWaitMs);
            for (const QStringList& r : requests) {
                ok = ok && c.send(r, kWaitMs);
            }
            c.disconnectFromServer();
            if (!ok) {
                allOk = false;
            }
            ++finished;
        });
    }
    qettest::spinUntil([&] { return finished == 3 && seen.size() == 60; }, 3 * kWaitMs);
    for (std::thread& c : clients) {
        c.join();
    }
    EXPECT_TRUE(allOk);
    EXPECT_EQ(seen.size(), 60);
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }, kWaitMs));
}

TEST_F(QetPipeServerTest, TheConnectionCapRefusesAndRecordsTheExtraOnes) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    server.setMaxConnections(1);
    qettest::RawClient first(socketPath());
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 1; }, kWaitMs));
    qettest::RawClient second(socketPath());
    ASSERT_TRUE(qettest::spinUntil([&] { return second.isClosedByPeer(); }, kWaitMs));
    EXPECT_FALSE(first.isClosedByPeer());
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{5});

    first.close();
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }, kWaitMs));
    EXPECT_TRUE(sendFromThread({{QStringLiteral("room again")}}));

    server.setMaxConnections(-1);
    EXPECT_EQ(server.maxConnections(), -1);
    std::vector<std::unique_ptr<qettest::RawClient>> many;
    for (int i = 0; i < 20; ++i) {
        many.push_back(std::make_unique<qettest::RawClient>(socketPath()));
    }
    EXPECT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 20; }, kWaitMs));
    EXPECT_EQ(qettest::errorCodes(qetLog()).size(), 1u);
}

TEST_F(QetPipeServerTest, AConnectionStuckInsideAFrameIsDroppedWithOneRecord) {
    QETPipeServer server;
    ASSERT_TRUE(server.listen());
    server.setTimeout(200);
    qettest::RawClient slow(socketPath());
    const std::string frame = qettest::requestFrame({"never", "finished"});
    ASSERT_TRUE(slow.sendBytes(frame.substr(0, frame.size() / 2)));
    ASSERT_TRUE(qettest::spinUntil([&] { return slow.isClosedByPeer(); }, kWaitMs));
    ASSERT_TRUE(qettest::spinUntil([&] { return server.connectionCount() == 0; }, kWaitMs));
    // Timed out inside a frame: the idle record only, not also a
    // malformed-frame one for the half frame it left behind.
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{6});
}

TEST_F(QetPipeServerTest, ASecondServerNeitherServesNorRemovesTheFirstOnesSocket) {
    QETPipeServer first;
    ASSERT_TRUE(first.listen());
    {
        QETPipeServer second;
        EXPECT_FALSE(second.listen());
        EXPECT_EQ(second.conduit(), nullptr);
        // The internal conduit still belongs to the first server.
        EXPECT_EQ(QETPipeInternalConduit::current(), first.conduit());
    }
    EXPECT_TRUE(qettest::isSocket(socketPath()));
    EXPECT_TRUE(sendFromThread({{QStringLiteral("first still serves")}}));
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{2});
}

TEST_F(QetPipeServerTest, SomethingElseAtTheSocketPathIsLeftAloneAndReported) {
    zorvtest::writeFile(socketPath(), "not a socket");
    QETPipeServer server;
    EXPECT_FALSE(server.listen());
    EXPECT_EQ(server.conduit(), nullptr);
    EXPECT_EQ(zorvtest::readFile(socketPath()), "not a socket");
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{1});
}

TEST_F(QetPipeServerTest, TheSocketFollowsXdgRuntimeDirElseAPrivateShmDirectory) {
    EXPECT_EQ(QETPipeServer::socketPath().toStdString(), socketPath());
    const std::string fallback = "/dev/shm/zorv-" + std::to_string(::geteuid());
    for (const char* runtime : {static_cast<const char*>(nullptr), "relative/dir", ""}) {
        zorvtest::ScopedEnv env("XDG_RUNTIME_DIR", runtime);
        EXPECT_EQ(QETPipeServer::socketPath().toStdString(), fallback + "/QET.pipe");
    }
    struct stat st;
    ASSERT_EQ(::lstat(fallback.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_EQ(st.st_uid, ::geteuid());
}

TEST_F(QetPipeServerTest, OnlyAPrivateDirectoryOfOurOwnIsAccepted) {
    zorvtest::TempDir dir;
    QString why;
    const QString fresh = QString::fromStdString(dir.file("fresh"));
    EXPECT_TRUE(QETPipeServer::ensurePrivateDirectory(fresh, &why)) << why.toStdString();
    EXPECT_EQ(qettest::fileMode(dir.file("fresh")), 0700);

    ::mkdir(dir.file("open").c_str(), 0700);
    ::chmod(dir.file("open").c_str(), 0755);
    EXPECT_FALSE(
        QETPipeServer::ensurePrivateDirectory(QString::fromStdString(dir.file("open")), &why));
    EXPECT_NE(why.indexOf(QStringLiteral("group or others")), -1);

    ASSERT_EQ(::symlink(dir.file("fresh").c_str(), dir.file("link").c_str()), 0);
    EXPECT_FALSE(QETPipeServer::ensurePrivateDirectory(QString::fromStdString(dir.file("link"))));

    zorvtest::writeFile(dir.file("file"), "x");
    EXPECT_FALSE(QETPipeServer::ensurePrivateDirectory(QString::fromStdString(dir.file("file"))));

    if (::geteuid() == 0) {
        ::mkdir(dir.file("foreign").c_str(), 0700);
        ASSERT_EQ(::chown(dir.file("foreign").c_str(), 65534, 65534), 0);
        EXPECT_FALSE(QETPipeServer::ensurePrivateDirectory(
            QString::fromStdString(dir.file("foreign")), &why));
        EXPECT_NE(why.indexOf(QStringLiteral("another user")), -1);
    }
}

TEST_F(QetPipeServerTest, SigtermQuitsTheLoopAndUninitializeRemovesTheSocket) {
    QETApplication app;
    app.initialize();
    ASSERT_NE(app.server(), nullptr);
    QETPipeServer* server = app.server();
    app.initialize(); // a second call changes nothing
    EXPECT_EQ(app.server(), server);
    ASSERT_NE(app.server()->conduit(), nullptr);
    ASSERT_TRUE(qettest::isSocket(socketPath()));

    QTimer::singleShot(0, [] { ::raise(SIGTERM); });
    // Should the signal not be turned into a quit, this ends the loop with
    // another status instead of hanging.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(kWaitMs);
    EXPECT_EQ(QCoreApplication::exec(), 0);
    watchdog.stop();

    app.uninitialize();
    EXPECT_EQ(app.server(), nullptr);
    EXPECT_FALSE(zorvtest::fileExists(socketPath()));
}

} // namespace
