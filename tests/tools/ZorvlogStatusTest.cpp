// zorvlog status: what it finds in a working setup, what it names as off, and
// a real QET told from its instance lock.
#include "ZorvlogFixture.h"
#include "support/ChildProcess.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvtest {
namespace {

class Status : public ZorvlogTest {
protected:
    nlohmann::json status(int expected) {
        CapturedProcess run = zorvlog({"status", "--json"});
        EXPECT_EQ(run.status, expected) << run.out << run.err;
        return nlohmann::json::parse(run.out);
    }
    static std::vector<std::string> strings(const nlohmann::json& array) {
        std::vector<std::string> out;
        for (const nlohmann::json& item : array) {
            out.push_back(item.get<std::string>());
        }
        return out;
    }
    std::string lockDir() const { return mHome.root() + "/lock"; }
};

TEST_F(Status, AWorkingSetupWithAMisleadingSwitch) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "0");
    nlohmann::json s = status(0);
    const std::string dir = mHome.zorvDataDir();
    EXPECT_TRUE(s.at("debug").at("on").get<bool>());
    EXPECT_NE(s.at("debug").at("warning").get<std::string>().find("unset ZORV_DEBUG_MODE"),
              std::string::npos);
    EXPECT_FALSE(s.at("perf").at("on").get<bool>());
    EXPECT_TRUE(s.at("perf").at("warning").is_null());
    EXPECT_EQ(s.at("debug").at("file").get<std::string>(), dir + "/ZorvDebug.log");
    EXPECT_EQ(s.at("perf").at("file").get<std::string>(), dir + "/ZorvPerfLog.csv");
    EXPECT_EQ(s.at("qet_log").at("file").get<std::string>(), dir + "/QET.log");
    EXPECT_TRUE(s.at("log_directory").at("usable").get<bool>());
    EXPECT_EQ(s.at("table").at("file").get<std::string>(), tablePath());
    EXPECT_TRUE(s.at("table").at("clean").get<bool>());
    EXPECT_EQ(s.at("lock_place").at("path").get<std::string>(), lockDir());
    EXPECT_EQ(s.at("qet").at("state").get<std::string>(), "not serving");
    EXPECT_EQ(strings(s.at("off")), (std::vector<std::string>{"perf", "qet"}));
    EXPECT_TRUE(strings(s.at("faults")).empty());
    EXPECT_FALSE(fileExists(dir + "/ZorvDebug.log")) << "status writes no record";

    CapturedProcess text = zorvlog({"status"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("warning: any value switches it on, \"0\" too"), std::string::npos)
        << text.out;
    EXPECT_EQ(splitLines(text.out).back(), "Everything a client needs works.");
    EXPECT_NE(text.out.find("\n    file " + dir + "/ZorvDebug.log\n"), std::string::npos)
        << text.out;
}

TEST_F(Status, WhatIsOffIsNamedWithItsReason) {
    const std::string dir = mHome.zorvDataDir();
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    writeFile(mDir.file("file"), "");
    ScopedEnv noLockPlace("ZORV_LOCK_DIR", mDir.file("file/lock").c_str());
    nlohmann::json s = status(1);
    EXPECT_EQ(strings(s.at("faults")),
              (std::vector<std::string>{"log_directory", "table", "lock_place"}));
    EXPECT_EQ(s.at("log_directory").at("reason").get<std::string>(), "is writable by others");
    EXPECT_NE(s.at("table").at("passed_over").get<std::string>().find("writable by others"),
              std::string::npos);
    EXPECT_NE(s.at("lock_place").at("reason").get<std::string>().find("cannot be made"),
              std::string::npos);
    EXPECT_EQ(s.at("qet").at("state").get<std::string>(), "unknown");
    CapturedProcess text = zorvlog({"status"});
    EXPECT_EQ(text.status, 1);
    EXPECT_EQ(splitLines(text.out).back(), "Off: log directory, error-code table, lock place.");

    // A table with findings, and a debug log that cannot be written while
    // debug logging is on; the same log is no fault while it is off.
    ASSERT_EQ(::chmod(dir.c_str(), 0700), 0);
    installTable("<ERRORTABLES><TABLE VENDORID=\"1\"><NAME>A</NAME><ERROR CODE=\"1\"><DESCRIPTION>"
                 "x</DESCRIPTION></ERROR><ERROR CODE=\"1\"><DESCRIPTION>y</DESCRIPTION></ERROR>"
                 "</TABLE></ERRORTABLES>");
    ASSERT_EQ(::mkdir((dir + "/ZorvDebug.log").c_str(), 0700), 0);
    s = status(1);
    EXPECT_EQ(strings(s.at("faults")), (std::vector<std::string>{"table", "lock_place"}));
    EXPECT_EQ(s.at("table").at("findings").get<double>(), 1);
    EXPECT_FALSE(s.at("debug").at("problem").is_null());
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    EXPECT_EQ(strings(status(1).at("faults")),
              (std::vector<std::string>{"debug", "table", "lock_place"}));

    // A lock place named by ZORV_LOCK_DIR that others may write to: refused
    // and left as it is.
    ASSERT_EQ(::chmod(mDir.path().c_str(), 0777), 0);
    ScopedEnv openLockPlace("ZORV_LOCK_DIR", mDir.path().c_str());
    EXPECT_EQ(status(1).at("lock_place").at("reason").get<std::string>(),
              "ZORV_LOCK_DIR " + mDir.path() + " is writable by others");
    struct stat st;
    ASSERT_EQ(::stat(mDir.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
}

// A lock place where no mutex file can be made (a full tmpfs: any local user
// can fill /dev/shm) is reported as full, not as usable.
TEST_F(Status, AFullLockPlaceIsReportedFull) {
    if (::geteuid() != 0) {
        GTEST_SKIP() << "needs root for a private mount";
    }
    const std::string place = mDir.file("full");
    ASSERT_EQ(::mkdir(place.c_str(), 0700), 0);
    ScopedEnv lockPlace("ZORV_LOCK_DIR", place.c_str());
    CapturedProcess run = runCaptured(
        {"unshare", "-m", "sh", "-c",
         "mount -t tmpfs -o size=4k,mode=0700 tmpfs \"$ZORV_LOCK_DIR\" || exit 99; "
         "cat /dev/zero > \"$ZORV_LOCK_DIR/fill\" 2>/dev/null; exec \"$0\" status --json",
         ZORVLOG_EXE});
    if (run.status == 99) {
        GTEST_SKIP() << "no private mount here: " << run.err;
    }
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    const nlohmann::json s = nlohmann::json::parse(run.out);
    EXPECT_EQ(strings(s.at("faults")), std::vector<std::string>{"lock_place"});
    EXPECT_NE(s.at("lock_place").at("reason").get<std::string>().find("full"), std::string::npos);
}

// What status shows from the environment and the paths reaches a terminal
// escaped, as parse shows a log's text.
TEST_F(Status, TerminalControlsAreShownEscaped) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "\x1b]0;x\a");
    CapturedProcess text = zorvlog({"status"});
    EXPECT_EQ(text.out.find_first_of("\x1b\a"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\\x1b]0;x\\x07"), std::string::npos) << text.out;
}

#ifdef QET_BINARY
TEST_F(Status, AServingQetIsFoundFromItsLockWithoutConnecting) {
    ScopedEnv offscreen("QT_QPA_PLATFORM", "offscreen");
    const std::string socket = mHome.runtimeDir() + "/QET.pipe";
    ChildProcess qet({QET_BINARY});
    ASSERT_TRUE(qet.started());
    // QET writes its socket into the lock file once it listens.
    ASSERT_TRUE(eventually(
        [&] { return readFile(lockDir() + "/QET.lock").find(socket) != std::string::npos; }));
    nlohmann::json s = status(0);
    EXPECT_EQ(s.at("qet").at("state").get<std::string>(), "serving");
    EXPECT_EQ(s.at("qet").at("pid").get<double>(), qet.pid());
    EXPECT_EQ(s.at("qet").at("socket").get<std::string>(), socket);
    EXPECT_TRUE(s.at("qet").at("socket_present").get<bool>());

    // QET alive, its socket gone: nothing can reach it.
    ASSERT_EQ(::unlink(socket.c_str()), 0);
    EXPECT_EQ(strings(status(1).at("faults")), (std::vector<std::string>{"qet"}));

    // Ended: its words stay in the file, the lock tells.
    qet.kill(SIGTERM);
    EXPECT_EQ(qet.wait(), 0);
    EXPECT_NE(readFile(lockDir() + "/QET.lock").find(socket), std::string::npos);
    EXPECT_EQ(status(0).at("qet").at("state").get<std::string>(), "not serving");
}
#endif

// A record zorvlog or the library does not write is counted in the lock
// place, and status shows the count, when and why, for each reason.
TEST_F(Status, RefusedRecordsAreCountedWithTheirReason) {
    const bool root = ::geteuid() == 0;
    const std::string shared = mDir.file("shared");
    ASSERT_EQ(::mkdir(shared.c_str(), 0755), 0);
    ASSERT_EQ(::chmod(shared.c_str(), 0777), 0);
    writeFile(shared + "/kept", "");
    ASSERT_EQ(::link((shared + "/kept").c_str(), (shared + "/hard.log").c_str()), 0);
    writeFile(shared + "/theirs.log", "");
    ASSERT_EQ(::symlink((shared + "/kept").c_str(), mDir.file("link.log").c_str()), 0);
    if (root) {
        ASSERT_EQ(::chown((shared + "/theirs.log").c_str(), 54321, 54321), 0);
        ASSERT_EQ(::lchown(mDir.file("link.log").c_str(), 54321, 54321), 0);
    }
    const std::string data = mHome.zorvDataDir();
    ASSERT_EQ(::chmod(data.c_str(), 0777), 0);
    const struct {
        std::string log;
        const char* reason; // null: nothing refused
        bool needsRoot;
    } cases[] = {
        {mDir.file("never.log"), nullptr, false},
        {mDir.file("link.log"), "link", true},
        {shared + "/hard.log", "hard-link", false},
        {shared + "/theirs.log", "other-owner", true},
        {data + "/mine.log", "data-directory", false},
        {mDir.file("missing/app.log"), "open", false},
        {"/dev/full", "write", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.log);
        if (c.needsRoot && !root) {
            continue;
        }
        if (c.reason != nullptr) {
            EXPECT_NE(zorvlog({"debug", "--to", c.log, "--vendor", "1", "message"}).status, 0);
        }
        CapturedProcess run = zorvlog({"status", "--json", c.log});
        const nlohmann::json refused = nlohmann::json::parse(run.out).at("refused");
        EXPECT_EQ(refused.at("count").get<long>(), c.reason != nullptr ? 1 : 0);
        EXPECT_EQ(refused.at("reason").is_null(), c.reason == nullptr);
        EXPECT_EQ(refused.at("last").is_string(), c.reason != nullptr);
        if (c.reason != nullptr) {
            EXPECT_EQ(refused.at("reason").get<std::string>(), c.reason);
        }
        const std::string text = zorvlog({"status", c.log}).out;
        EXPECT_NE(text.find(" in " + lockDir() + ", for every log named "), std::string::npos)
            << text;
    }
}

// A follower whose collector refuses it: status reads the state it holds
// without its lock (as root, though another user owns it), and shows the
// output retrying, why, and the bytes behind.
TEST_F(Status, AFollowerBehindARefusedOutput) {
    const int closed = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof at;
    ASSERT_EQ(::bind(closed, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(::getsockname(closed, reinterpret_cast<sockaddr*>(&at), &size), 0);
    const std::string log = mDir.file("a.log"), state = mDir.file("state"), err = mDir.file("err");
    ASSERT_EQ(zorvlog({"debug", "--to", log, "--vendor", "1", "first"}).status, 0);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t follower =
        spawnProcess({ZORVLOG_EXE, "follow", "--relp",
                      "127.0.0.1:" + std::to_string(ntohs(at.sin_port)), "--state", state, log},
                     -1, -1, errFd);
    ::close(errFd);
    const bool refused =
        eventually([&] { return readFile(err).find("takes no records") != std::string::npos; });
    CapturedProcess theirs;
    if (::geteuid() == 0) {
        // Root reads another user's state; another user, though it may read
        // the file, is refused.
        EXPECT_EQ(::chown(state.c_str(), 54321, 54321), 0);
        EXPECT_EQ(::chmod(state.c_str(), 0644) + ::chmod(mDir.path().c_str(), 0755), 0);
        theirs = runCaptured({"setpriv", "--reuid=54322", "--regid=54322", "--clear-groups",
                              ZORVLOG_EXE, "status", "--state", state});
        EXPECT_EQ(theirs.status, 1) << theirs.out << theirs.err;
    }
    CapturedProcess json = zorvlog({"status", "--json", "--state", state});
    CapturedProcess text = zorvlog({"status", "--state", state});
    ::kill(follower, SIGTERM);
    EXPECT_EQ(waitProcess(follower), 0);
    ::close(closed);
    ASSERT_TRUE(refused) << readFile(err);
    EXPECT_EQ(json.status, 1) << json.out << json.err;
    const nlohmann::json got = nlohmann::json::parse(json.out);
    EXPECT_FALSE(got.at("output").at("taking").get<bool>());
    EXPECT_NE(got.at("output").at("why").get<std::string>().find("refused"), std::string::npos);
    EXPECT_GT(got.at("output").at("since").get<std::string>().size(), 0u);
    // ISO 8601 in UTC compares as text: the save that said so is not older.
    EXPECT_GE(got.at("saved").get<std::string>(), got.at("output").at("since").get<std::string>());
    ASSERT_EQ(got.at("logs").size(), 1u);
    EXPECT_EQ(got.at("logs")[0].at("log"), log);
    EXPECT_EQ(got.at("logs")[0].at("behind").get<long>(), fileSize(log));
    EXPECT_EQ(got.at("logs")[0].at("offset").get<long>(), 0);
    EXPECT_NE(text.out.find("retrying since"), std::string::npos) << text.out;
    EXPECT_EQ(theirs.err.find("belongs to another user") == std::string::npos, ::geteuid() != 0)
        << theirs.err;
}

} // namespace
} // namespace zorvtest
