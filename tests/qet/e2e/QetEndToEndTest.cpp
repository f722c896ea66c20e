// The real QET and qet-send, run as child processes under the offscreen
// platform, each test in its own runtime, data and home directories.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using qettest::ChildProcess;
using qettest::RawClient;

namespace {

// The idle limit main gives the server is 5 s; a silent client must be gone
// well within this.
constexpr int kDropTimeoutMs = 20000;
constexpr int kLogTimeoutMs = 20000;

std::string bigEndian(uint32_t value) {
    std::string out(4, '\0');
    out[0] = static_cast<char>(value >> 24);
    out[1] = static_cast<char>(value >> 16);
    out[2] = static_cast<char>(value >> 8);
    out[3] = static_cast<char>(value);
    return out;
}

class QetEndToEnd : public ::testing::Test {
protected:
    zorvtest::IsolatedHome mHome;
    zorvtest::ScopedEnv mPlatform{"QT_QPA_PLATFORM", "offscreen"};
    zorvtest::ScopedEnv mDebug{"ZORV_DEBUG_MODE", "1"};
    int mRuns = 0;

    void SetUp() override {
        ::mkdir(mHome.dataHome().c_str(), 0700);
        ::mkdir(mHome.zorvDataDir().c_str(), 0700);
        // The error-code table, so the records carry names as installed.
        zorvtest::writeFile(mHome.zorvDataDir() + "/ZorvErrorCodes.xml",
                            zorvtest::readFile(ZORV_ERROR_CODES_XML));
    }

    std::string socketPath() const { return mHome.runtimeDir() + "/QET.pipe"; }
    std::string debugLog() const { return mHome.zorvDataDir() + "/ZorvDebug.log"; }
    std::string qetLog() const { return mHome.zorvDataDir() + "/QET.log"; }

    std::unique_ptr<ChildProcess> startQet(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {QET_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return std::make_unique<ChildProcess>(argv, mHome.root() + "/qet-" +
                                                        std::to_string(++mRuns) + ".out");
    }

    // Serving means: a client can connect. Fails early if QET died.
    bool waitServing(ChildProcess& qet) {
        return qettest::waitFor(
                   [&] {
                       int status = 0;
                       if (qet.waitForExit(0, &status)) {
                           ADD_FAILURE() << "QET exited with " << status << ": " << qet.output();
                           return true;
                       }
                       RawClient probe(socketPath());
                       return probe.isConnected();
                   },
                   qettest::kStartTimeoutMs) &&
               RawClient(socketPath()).isConnected();
    }

    int qetSend(const std::vector<std::string>& args, std::string* output = nullptr) {
        std::vector<std::string> argv = {QET_SEND_BINARY};
        argv.insert(argv.end(), args.begin(), args.end());
        return zorvtest::runProcess(argv, output);
    }

    bool waitForMessage(const std::string& message) {
        return qettest::waitFor(
            [&] {
                auto m = qettest::qetDebugMessages(debugLog());
                return std::find(m.begin(), m.end(), message) != m.end();
            },
            kLogTimeoutMs);
    }

    int stop(ChildProcess& qet, int sig = SIGTERM) {
        qet.signal(sig);
        int status = -1;
        EXPECT_TRUE(qet.waitForExit(qettest::kExitTimeoutMs, &status)) << "QET did not exit";
        return status;
    }

    size_t countMessagesStartingWith(const std::string& prefix) {
        auto m = qettest::qetDebugMessages(debugLog());
        return static_cast<size_t>(std::count_if(m.begin(), m.end(), [&](const std::string& s) {
            return s.compare(0, prefix.size(), prefix) == 0;
        }));
    }
};

TEST_F(QetEndToEnd, LogsStartingThenServesAndLogsAQetSendRequest) {
    auto qet = startQet({});
    ASSERT_TRUE(waitServing(*qet));
    std::string out;
    EXPECT_EQ(qetSend({"hello", "big world"}, &out), 0) << out;
    ASSERT_TRUE(waitForMessage("request from socket: hello big world"));

    auto messages = qettest::qetDebugMessages(debugLog());
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "starting");
    EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 0u);
    EXPECT_EQ(countMessagesStartingWith("request from socket"), 1u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, TwoOrMoreArgumentsGoOutAsOnePacketBeforeAnythingSentLater) {
    auto qet = startQet({"open", "the file", "now"});
    ASSERT_TRUE(waitServing(*qet));
    ASSERT_EQ(qetSend({"later"}), 0);
    ASSERT_TRUE(waitForMessage("request from socket: later"));

    auto messages = qettest::qetDebugMessages(debugLog());
    auto forwarded = std::find(messages.begin(), messages.end(),
                               "request from internal conduit: open the file now");
    auto later = std::find(messages.begin(), messages.end(), "request from socket: later");
    ASSERT_NE(forwarded, messages.end());
    EXPECT_LT(forwarded, later);
    EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 1u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, OneArgumentIsNotForwarded) {
    auto qet = startQet({"alone"});
    ASSERT_TRUE(waitServing(*qet));
    ASSERT_EQ(qetSend({"marker"}), 0);
    ASSERT_TRUE(waitForMessage("request from socket: marker"));
    EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 0u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, QtOptionsAreNeitherCountedNorForwarded) {
    {
        // Three entries, but -style fusion belongs to Qt: one argument left.
        auto qet = startQet({"-style", "fusion", "one"});
        ASSERT_TRUE(waitServing(*qet));
        ASSERT_EQ(qetSend({"marker1"}), 0);
        ASSERT_TRUE(waitForMessage("request from socket: marker1"));
        EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 0u);
        EXPECT_EQ(stop(*qet), 0);
    }
    {
        auto qet = startQet({"x", "-style", "fusion", "y"});
        ASSERT_TRUE(waitServing(*qet));
        ASSERT_EQ(qetSend({"marker2"}), 0);
        ASSERT_TRUE(waitForMessage("request from socket: marker2"));
        auto messages = qettest::qetDebugMessages(debugLog());
        EXPECT_NE(std::find(messages.begin(), messages.end(), "request from internal conduit: x y"),
                  messages.end());
        EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 1u);
        EXPECT_EQ(stop(*qet), 0);
    }
}

TEST_F(QetEndToEnd, ASecondQetIsRefusedWhileTheFirstGoesOnServing) {
    auto first = startQet({});
    ASSERT_TRUE(waitServing(*first));

    auto second = startQet({"would", "forward"});
    int status = -1;
    ASSERT_TRUE(second->waitForExit(qettest::kExitTimeoutMs, &status));
    EXPECT_EQ(status, 1);
    EXPECT_NE(second->output().find("already serving"), std::string::npos) << second->output();
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{2});
    EXPECT_NE(zorvtest::readFile(qetLog()).find("VendorID=8 [ZorvQet]"), std::string::npos);
    EXPECT_EQ(countMessagesStartingWith("request from internal conduit"), 0u);

    EXPECT_TRUE(qettest::isSocket(socketPath()));
    std::string out;
    EXPECT_EQ(qetSend({"still", "here"}, &out), 0) << out;
    EXPECT_TRUE(waitForMessage("request from socket: still here"));
    EXPECT_EQ(stop(*first), 0);
}

TEST_F(QetEndToEnd, BadClientsLoseOnlyTheirOwnConnection) {
    auto qet = startQet({});
    ASSERT_TRUE(waitServing(*qet));

    {
        // A plausible length, then bytes that are no frame.
        RawClient garbage(socketPath());
        ASSERT_TRUE(garbage.sendBytes(bigEndian(8) + "garbage!"));
        EXPECT_TRUE(garbage.waitForClose(kDropTimeoutMs));
    }
    ASSERT_EQ(qetSend({"after", "garbage"}), 0);
    {
        // Half a frame, then gone.
        RawClient truncated(socketPath());
        std::string frame = qettest::requestFrame({"cut", "short"});
        ASSERT_TRUE(truncated.sendBytes(frame.substr(0, frame.size() - 3)));
    }
    ASSERT_EQ(qetSend({"after", "truncated"}), 0);
    {
        // 2 MiB announced: refused on the length alone.
        RawClient oversized(socketPath());
        ASSERT_TRUE(oversized.sendBytes(bigEndian(2 * 1024 * 1024) + "x"));
        EXPECT_TRUE(oversized.waitForClose(kDropTimeoutMs));
    }
    ASSERT_EQ(qetSend({"after", "oversized"}), 0);
    {
        // Says nothing: others are served meanwhile, and it is dropped after
        // the idle timeout.
        RawClient silent(socketPath());
        ASSERT_TRUE(silent.isConnected());
        EXPECT_EQ(qetSend({"beside", "silent"}), 0);
        EXPECT_TRUE(silent.waitForClose(kDropTimeoutMs));
    }
    ASSERT_EQ(qetSend({"after", "silent"}), 0);
    EXPECT_TRUE(waitForMessage("request from socket: after silent"));

    // One record per dropped connection, in the order they were dropped.
    EXPECT_TRUE(
        qettest::waitFor([&] { return qettest::errorCodes(qetLog()).size() >= 4; }, kLogTimeoutMs));
    EXPECT_EQ(qettest::errorCodes(qetLog()), (std::vector<int>{3, 3, 4, 6}));
    EXPECT_EQ(countMessagesStartingWith("request from socket"), 5u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, EveryRequestOfAConnectionIsAcknowledgedByOneFrame) {
    auto qet = startQet({});
    ASSERT_TRUE(waitServing(*qet));
    RawClient client(socketPath());
    // Two requests in one write, the second split across two writes.
    std::string second = qettest::requestFrame({"second"});
    ASSERT_TRUE(client.sendBytes(qettest::requestFrame({"first"}) + second.substr(0, 5)));
    ASSERT_TRUE(client.sendBytes(second.substr(5)));
    const std::string ack = qettest::handledAcknowledgement();
    std::string got;
    ASSERT_TRUE(client.readBytes(2 * ack.size(), &got, kLogTimeoutMs));
    EXPECT_EQ(got, ack + ack);
    EXPECT_TRUE(waitForMessage("request from socket: second"));
    client.close();
    EXPECT_EQ(stop(*qet), 0);
    EXPECT_TRUE(qettest::errorCodes(qetLog()).empty());
}

TEST_F(QetEndToEnd, SigtermAndSigintEndCleanlyAndRemoveTheSocket) {
    for (int sig : {SIGTERM, SIGINT}) {
        auto qet = startQet({});
        ASSERT_TRUE(waitServing(*qet));
        EXPECT_EQ(stop(*qet, sig), 0) << "signal " << sig << ": " << qet->output();
        EXPECT_FALSE(zorvtest::fileExists(socketPath())) << "signal " << sig;
    }
}

TEST_F(QetEndToEnd, AStaleSocketLeftBySigkillIsReplacedByTheNextStart) {
    {
        auto qet = startQet({});
        ASSERT_TRUE(waitServing(*qet));
        EXPECT_EQ(stop(*qet, SIGKILL), 128 + SIGKILL);
    }
    ASSERT_TRUE(qettest::isSocket(socketPath()));
    EXPECT_FALSE(RawClient(socketPath()).isConnected());

    auto next = startQet({});
    ASSERT_TRUE(waitServing(*next));
    std::string out;
    EXPECT_EQ(qetSend({"after", "stale"}, &out), 0) << out;
    EXPECT_TRUE(qettest::errorCodes(qetLog()).empty());
    EXPECT_EQ(stop(*next), 0);
}

TEST_F(QetEndToEnd, TheSocketIsOpenToItsOwnerOnly) {
    // A runtime directory that anyone may enter: the socket itself must
    // still keep others out.
    ::chmod(mHome.runtimeDir().c_str(), 0755);
    auto qet = startQet({});
    ASSERT_TRUE(waitServing(*qet));
    const int mode = qettest::fileMode(socketPath());
    ASSERT_NE(mode, -1);
    EXPECT_EQ(mode & 077, 0) << std::oct << mode;
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, QetSendFailsClearlyWithoutAQet) {
    std::string out;
    EXPECT_EQ(qetSend({"nobody"}, &out), 1);
    EXPECT_NE(out.find("no QET is running"), std::string::npos) << out;
}

TEST_F(QetEndToEnd, QetSendGivesUpWhenNoAcknowledgementComes) {
    // A listener that never accepts: the kernel completes the connection,
    // nobody ever answers.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    std::string out;
    EXPECT_EQ(qetSend({"unheard"}, &out), 1);
    EXPECT_NE(out.find("not acknowledged"), std::string::npos) << out;
    ::close(fd);
}

} // namespace
