// The real QET and qet-send as child processes under the offscreen platform,
// each test in its own runtime, data and home directories.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <qet/QETPipeFrame.h>
#include <zorv/ZorvMutex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <memory>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

using qettest::RawClient;
using zorvtest::ChildProcess;

namespace {

// Takes the named mutex and stops itself while it holds it.
int holdStopped(const std::vector<std::string>& args) {
    ZorvMutex mutex;
    if (args.empty() || !mutex.create(TStr(args[0].c_str())) || !mutex.lock(-1)) {
        return 1;
    }
    ::raise(SIGSTOP);
    return 0;
}
const bool kRoles = zorvtest::registerRole("hold-stopped", holdStopped);

std::string bigEndian(uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

class QetEndToEnd : public ::testing::Test {
protected:
    qettest::QetHome mHome;
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
    std::string qetLog() const { return mHome.zorvDataDir() + "/QET.log"; }
    std::vector<std::string> messages() const {
        return qettest::qetDebugMessages(mHome.zorvDataDir() + "/ZorvDebug.log");
    }

    std::unique_ptr<ChildProcess> startQet(std::vector<std::string> args) {
        args.insert(args.begin(), QET_BINARY);
        zorvtest::ChildSetup setup;
        setup.output = mHome.root() + "/qet-" + std::to_string(++mRuns) + ".out";
        return std::make_unique<ChildProcess>(args, setup);
    }

    // Started and accepting connections; a QET that dies fails at once.
    bool serving(ChildProcess& qet) {
        const bool ok = qettest::serving(qet, socketPath());
        EXPECT_TRUE(ok) << "QET is not serving: " << qet.output();
        return ok;
    }

    int qetSend(std::vector<std::string> args, std::string* output = nullptr) {
        args.insert(args.begin(), QET_SEND_BINARY);
        return zorvtest::runProcess(args, output);
    }

    // Sends a marker and waits until QET has logged it: everything before
    // it has been handled.
    ::testing::AssertionResult sync(const std::string& marker) {
        if (qetSend({marker}) != 0) {
            return ::testing::AssertionFailure() << "qet-send " << marker << " failed";
        }
        if (!zorvtest::eventually([&] { return count("request from socket: " + marker) == 1; })) {
            return ::testing::AssertionFailure() << "QET never logged " << marker;
        }
        return ::testing::AssertionSuccess();
    }

    size_t count(const std::string& prefix) const {
        auto m = messages();
        return size_t(std::count_if(m.begin(), m.end(), [&](const std::string& s) {
            return s.compare(0, prefix.size(), prefix) == 0;
        }));
    }

    int stop(ChildProcess& qet, int sig = SIGTERM) { return qettest::stop(qet, sig); }
};

// Time bounds, measured alone (suites named *Timing run serially).
using QetEndToEndTiming = QetEndToEnd;

TEST_F(QetEndToEnd, LogsStartingThenServesAndLogsAQetSendRequest) {
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    ASSERT_TRUE(sync("hello big world"));
    EXPECT_EQ(messages().front(), "starting");
    EXPECT_EQ(count("request from"), 1u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, TwoOrMoreArgumentsGoOutAsOnePacketBeforeAnythingSentLater) {
    auto qet = startQet({"open", "the file", "now"});
    ASSERT_TRUE(serving(*qet));
    ASSERT_TRUE(sync("later"));
    auto m = messages();
    auto forwarded =
        std::find(m.begin(), m.end(), "request from internal conduit: open the file now");
    EXPECT_LT(forwarded, std::find(m.begin(), m.end(), "request from socket: later"));
    EXPECT_EQ(count("request from internal conduit"), 1u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, FewerThanTwoArgumentsAfterQtsOwnOptionsAreNotForwarded) {
    // -style fusion belongs to Qt: neither counted nor forwarded.
    const std::vector<std::vector<std::string>> runs = {
        {"alone"}, {"-style", "fusion", "one"}, {"x", "-style", "fusion", "y"}};
    for (const auto& args : runs) {
        auto qet = startQet(args);
        ASSERT_TRUE(serving(*qet));
        ASSERT_TRUE(sync("marker" + std::to_string(mRuns)));
        EXPECT_EQ(stop(*qet), 0);
    }
    EXPECT_EQ(count("request from internal conduit"), 1u);
    auto m = messages();
    EXPECT_NE(std::find(m.begin(), m.end(), "request from internal conduit: x y"), m.end());
}

TEST_F(QetEndToEnd, ASecondQetForwardsTwoArgumentsOrIsRefusedWhileTheFirstServes) {
    auto first = startQet({});
    ASSERT_TRUE(serving(*first));
    auto second = startQet({"alone"});
    EXPECT_EQ(second->wait(qettest::kWaitMs), 1);
    EXPECT_NE(second->output().find("already serving"), std::string::npos) << second->output();
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{2});
    EXPECT_NE(zorvtest::readFile(qetLog()).find("VendorID=8 [ZorvQet]"), std::string::npos);
    // Two arguments go to the QET that serves, as one request.
    auto third = startQet({"would", "forward"});
    EXPECT_EQ(third->wait(qettest::kWaitMs), 0) << third->output();
    ASSERT_TRUE(sync("still here"));
    EXPECT_EQ(count("request from socket: would forward"), 1u);
    EXPECT_EQ(count("request from internal conduit"), 0u);
    EXPECT_EQ(stop(*first), 0);
}

// QET's own platform choice without a display stays its own: the programs
// it starts (uname, for an error record) do not inherit it.
TEST_F(QetEndToEnd, ItsPlatformChoiceDoesNotReachItsChildren) {
    auto first = startQet({});
    ASSERT_TRUE(serving(*first));
    const std::string bin = mHome.root() + "/bin";
    const std::string seen = mHome.root() + "/uname-env";
    ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
    zorvtest::writeFile(bin + "/uname", "#!/bin/sh\nenv > '" + seen + "'\necho Linux\n");
    ASSERT_EQ(::chmod((bin + "/uname").c_str(), 0700), 0);
    const char* path = std::getenv("PATH");
    zorvtest::ScopedEnv fakeUname("PATH", (bin + ":" + (path ? path : "/usr/bin:/bin")).c_str());
    zorvtest::ScopedEnv platform("QT_QPA_PLATFORM", nullptr);
    zorvtest::ScopedEnv x11("DISPLAY", nullptr);
    zorvtest::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
    auto second = startQet({"alone"});
    EXPECT_EQ(second->wait(qettest::kWaitMs), 1) << second->output();
    ASSERT_TRUE(zorvtest::fileExists(seen)) << "no error record ran uname";
    EXPECT_EQ(zorvtest::readFile(seen).find("QT_QPA_PLATFORM"), std::string::npos);
    EXPECT_EQ(stop(*first), 0);
}

// Against a stale socket, two QETs started at once leave one serving: the
// other forwards its two arguments (exit 0) or, without, exits 1.
TEST_F(QetEndToEnd, SimultaneousStartsAgainstAStaleSocketLeaveOneQet) {
    const long rounds = qettest::scaled(5, 20);
    for (long r = 0; r < rounds; ++r) {
        sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, socketPath().c_str(), sizeof addr.sun_path - 1);
        const int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(stale);
        const std::string tag = "round " + std::to_string(r) + " .";
        std::unique_ptr<ChildProcess> qets[] = {startQet({}),
                                                startQet({"round", std::to_string(r), "."})};
        int loser = -1;
        ASSERT_TRUE(zorvtest::eventually([&] {
            loser = !qets[0]->running() ? 0 : !qets[1]->running() ? 1 : -1;
            return loser >= 0;
        }));
        EXPECT_EQ(qets[loser]->wait(), loser == 0 ? 1 : 0) << qets[loser]->output();
        ASSERT_TRUE(sync("after " + tag));
        EXPECT_EQ(count("request from socket: " + tag) +
                      count("request from internal conduit: " + tag),
                  1u);
        EXPECT_EQ(stop(*qets[1 - loser]), 0) << tag;
        EXPECT_FALSE(zorvtest::fileExists(socketPath())) << tag;
    }
}

// A writer stopped while it holds the lock of ZorvDebug.log or QET.log, as by
// Ctrl-Z: every request is still acknowledged within qet-send's 5 s (the
// library's own limit is longer, QET's waits last 100 ms), and every record
// written meanwhile waited once and gave up.
TEST_F(QetEndToEndTiming, AStoppedHolderOfALogLockDelaysNoRequest) {
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    std::vector<std::unique_ptr<zorvtest::RoleProcess>> holders;
    for (const char* name : {"ZorvDebug.log.Mutex", "QET.log.Mutex"}) {
        holders.push_back(std::make_unique<zorvtest::RoleProcess>("hold-stopped",
                                                                  std::vector<std::string>{name}));
        const pid_t holder = holders.back()->pid();
        ASSERT_TRUE(zorvtest::eventually([&] { return zorvtest::processState(holder) == 'T'; }));
    }
    const std::size_t before = messages().size();
    RawClient bad(socketPath()); // its error record waits for the lock of QET.log
    ASSERT_TRUE(bad.sendBytes(bigEndian(0)));
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(qetSend({"held", std::to_string(i)}), 0);
    }
    EXPECT_TRUE(bad.closedWithin(qettest::kWaitMs));
    EXPECT_EQ(stop(*qet), 0);
    EXPECT_EQ(count("request from socket: held"), 3u);
    EXPECT_EQ(qettest::errorCodes(qetLog()), std::vector<int>{3});
    const std::string last = messages().back();
    ASSERT_EQ(last.find("stopping: "), 0u) << last;
    // Every record since the holders stopped gave one wait up: the debug
    // messages but the last (it reports the count) and the error record.
    const long debugRecords = static_cast<long>(messages().size() - before) - 1;
    EXPECT_EQ(std::atol(last.c_str() + 10), debugRecords + 1);
}

// A data directory others may write in is refused; QET says so once on
// stderr and goes on serving.
TEST_F(QetEndToEnd, ARefusedDataDirectoryIsReportedOnceAndQetServes) {
    ::chmod(mHome.zorvDataDir().c_str(), 0777);
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    for (int i = 0; i < 2; ++i) {
        RawClient bad(socketPath());
        ASSERT_TRUE(bad.sendBytes(bigEndian(0)));
        EXPECT_TRUE(bad.closedWithin(qettest::kWaitMs));
    }
    EXPECT_EQ(qetSend({"still", "served"}), 0);
    EXPECT_EQ(stop(*qet), 0);
    const std::string out = qet->output();
    const std::size_t first = out.find(mHome.zorvDataDir());
    EXPECT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(mHome.zorvDataDir(), first + 1), std::string::npos) << out;
}

TEST_F(QetEndToEnd, BadClientsLoseOnlyTheirOwnConnection) {
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    {
        RawClient garbage(socketPath()); // a plausible length, then no frame
        ASSERT_TRUE(garbage.sendBytes(bigEndian(8) + "garbage!"));
        EXPECT_TRUE(garbage.closedWithin(qettest::kWaitMs));
    }
    ASSERT_TRUE(sync("after-garbage"));
    {
        RawClient truncated(socketPath()); // half a frame, then gone
        std::string frame = qettest::requestFrame({"cut", "short"});
        ASSERT_TRUE(truncated.sendBytes(frame.substr(0, frame.size() - 3)));
    }
    ASSERT_TRUE(sync("after-truncated"));
    {
        RawClient oversized(socketPath()); // refused on the length alone
        ASSERT_TRUE(oversized.sendBytes(bigEndian(2 * 1024 * 1024) + "x"));
        EXPECT_TRUE(oversized.closedWithin(qettest::kWaitMs));
    }
    ASSERT_TRUE(sync("after-oversized"));
    {
        // Says nothing: others are served meanwhile, and it is dropped after
        // the idle timeout of 5 s.
        RawClient silent(socketPath());
        ASSERT_TRUE(sync("beside-silent"));
        EXPECT_TRUE(silent.closedWithin(qettest::kWaitMs));
    }
    ASSERT_TRUE(sync("after-silent"));
    // One record per dropped connection, in the order they were dropped.
    EXPECT_EQ(qettest::errorCodes(qetLog()), (std::vector<int>{3, 3, 4, 6}));
    EXPECT_NE(zorvtest::readFile(qetLog()).find("\tFile=QETPipeConnection.cpp,Line="),
              std::string::npos);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, EveryRequestIsAcknowledgedByOneFrame) {
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    RawClient client(socketPath());
    // Two requests in one write, the second split across two writes.
    std::string second = qettest::requestFrame({"second"});
    ASSERT_TRUE(client.sendBytes(qettest::requestFrame({"first"}) + second.substr(0, 5)));
    ASSERT_TRUE(client.sendBytes(second.substr(5)));
    const std::string ack = QETPipeFrame::encodeAcknowledgement(0).toStdString();
    std::string got;
    ASSERT_TRUE(client.readBytes(2 * ack.size(), &got));
    EXPECT_EQ(got, ack + ack);
    client.close();
    EXPECT_EQ(stop(*qet), 0);
    EXPECT_EQ(count("request from socket: "), 2u);
    EXPECT_TRUE(qettest::errorCodes(qetLog()).empty());
}

TEST_F(QetEndToEnd, SigtermAndSigintEndCleanlyAndRemoveTheSocket) {
    for (int sig : {SIGTERM, SIGINT}) {
        auto qet = startQet({});
        ASSERT_TRUE(serving(*qet));
        EXPECT_EQ(stop(*qet, sig), 0) << sig << ": " << qet->output();
        EXPECT_FALSE(zorvtest::fileExists(socketPath())) << sig;
    }
}

TEST_F(QetEndToEnd, AStaleSocketLeftBySigkillIsReplacedByTheNextStart) {
    auto killed = startQet({});
    ASSERT_TRUE(serving(*killed));
    EXPECT_EQ(stop(*killed, SIGKILL), 128 + SIGKILL);
    ASSERT_TRUE(S_ISSOCK(qettest::fileMode(socketPath())));
    EXPECT_FALSE(RawClient(socketPath()).isConnected());

    auto next = startQet({});
    ASSERT_TRUE(serving(*next));
    ASSERT_TRUE(sync("after-stale"));
    EXPECT_TRUE(qettest::errorCodes(qetLog()).empty());
    EXPECT_EQ(stop(*next), 0);
}

TEST_F(QetEndToEnd, TheSocketIsOpenToItsOwnerOnly) {
    // Even in a directory that anyone may enter.
    ::chmod(mHome.runtimeDir().c_str(), 0755);
    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    EXPECT_EQ(qettest::fileMode(socketPath()) & 077, 0);
    EXPECT_EQ(stop(*qet), 0);
}

// Nobody serves by asking for help: alone on the command line, --help and
// --version are answered, with or without a QET serving, and nothing else
// happens (no start logged, no socket, no request, no error record).
TEST_F(QetEndToEnd, HelpAndVersionAloneAreAnsweredAndServeNothing) {
    auto answer = [&](const char* option) {
        auto qet = startQet({option});
        EXPECT_EQ(qet->wait(qettest::kWaitMs), 0) << option;
        return qet->output();
    };
    EXPECT_EQ(answer("--help").rfind("Usage: QET", 0), 0u);
    EXPECT_EQ(answer("--version"), "QET " ZORV_VERSION_TEXT "\n");
    EXPECT_FALSE(zorvtest::fileExists(socketPath()));
    EXPECT_TRUE(messages().empty());

    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    EXPECT_EQ(answer("--help").rfind("Usage: QET", 0), 0u);
    sync("marker");
    EXPECT_EQ(count("request from"), 1u);
    EXPECT_TRUE(qettest::errorCodes(qetLog()).empty());
    EXPECT_EQ(stop(*qet), 0);
}

// Under su or from cron the runtime directory is missing or another user's,
// and from cron there is no display either: QET serves from its lock place,
// and what it says is its own, no word of Qt.
TEST_F(QetEndToEnd, UnderSuOrCronQtSaysNothing) {
    std::string foreign = "/";
    if (::geteuid() == 0) {
        foreign = mHome.root() + "/other-user";
        ASSERT_EQ(::mkdir(foreign.c_str(), 0700), 0);
        ASSERT_EQ(::chown(foreign.c_str(), 65534, 65534), 0);
    }
    // Under the leak checker the list of suppressions used is its word, not QET's.
    const char* lsan = std::getenv("LSAN_OPTIONS");
    zorvtest::ScopedEnv quietLsan(
        "LSAN_OPTIONS", (std::string(lsan ? lsan : "") + ":print_suppressions=0").c_str());
    struct Case {
        const char* runtime;
        bool display;
    };
    for (const Case& c : {Case{nullptr, true}, Case{foreign.c_str(), true}, Case{nullptr, false}}) {
        zorvtest::ScopedEnv runtime("XDG_RUNTIME_DIR", c.runtime);
        zorvtest::ScopedEnv platform("QT_QPA_PLATFORM", c.display ? "offscreen" : nullptr);
        zorvtest::ScopedEnv x11("DISPLAY", nullptr);
        zorvtest::ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
        auto qet = startQet({});
        ASSERT_TRUE(qettest::serving(*qet, mHome.lockDir() + "/QET.pipe")) << qet->output();
        EXPECT_EQ(stop(*qet), 0);
        for (const std::string& line : zorvtest::splitLines(qet->output())) {
            EXPECT_EQ(line.rfind("QET: ", 0), 0u)
                << (c.runtime ? c.runtime : "unset") << (c.display ? "" : ", no display") << ": "
                << line;
        }
    }
}

// A runtime directory too long for a socket's path is passed over like any
// unusable one: QET serves in the lock place, and qet-send finds it there.
TEST_F(QetEndToEnd, ARuntimeDirectoryTooLongForASocketFallsBackToTheLockPlace) {
    const std::string runtime = mHome.root() + "/" + std::string(110, 'r');
    ASSERT_EQ(::mkdir(runtime.c_str(), 0700), 0);
    zorvtest::ScopedEnv longRuntime("XDG_RUNTIME_DIR", runtime.c_str());
    auto qet = startQet({});
    ASSERT_TRUE(qettest::serving(*qet, mHome.lockDir() + "/QET.pipe")) << qet->output();
    EXPECT_EQ(qetSend({"long runtime"}), 0);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, QetSendAnswersHelpAndVersionItselfAndSendsThemAfterTheSeparator) {
    std::string out;
    EXPECT_EQ(qetSend({"--help"}, &out), 0);
    EXPECT_EQ(out.rfind("Usage: qet-send", 0), 0u) << out;
    out.clear();
    EXPECT_EQ(qetSend({"--version"}, &out), 0);
    EXPECT_EQ(out.rfind("qet-send 5.", 0), 0u) << out;
    EXPECT_EQ(qetSend({"--"}), 2);

    auto qet = startQet({});
    ASSERT_TRUE(serving(*qet));
    EXPECT_EQ(qetSend({"--", "--help"}), 0);
    EXPECT_EQ(qetSend({"open", "--help"}), 0);
    ASSERT_TRUE(sync("marker"));
    auto m = messages();
    EXPECT_NE(std::find(m.begin(), m.end(), "request from socket: --help"), m.end());
    EXPECT_NE(std::find(m.begin(), m.end(), "request from socket: open --help"), m.end());
    EXPECT_EQ(count("request from socket"), 3u);
    EXPECT_EQ(stop(*qet), 0);
}

TEST_F(QetEndToEnd, QetSendFailsClearlyWithoutAQetOrAnAcknowledgement) {
    std::string out;
    EXPECT_EQ(qetSend({"nobody"}, &out), 1);
    EXPECT_NE(out.find("no QET is running"), std::string::npos) << out;

    // A listener that never accepts: connected by the kernel, never answered.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, socketPath().c_str(), sizeof addr.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    EXPECT_EQ(qetSend({"unheard"}, &out), 1);
    EXPECT_NE(out.find("not acknowledged"), std::string::npos) << out;
    ::close(fd);
}

} // namespace
