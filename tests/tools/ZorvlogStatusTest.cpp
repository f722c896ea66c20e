// zorvlog status: what it finds in a working setup, what it names as off, and
// a real QET told from its instance lock.
#include "ZorvlogFixture.h"
#include "support/ChildProcess.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace zorvtest {
namespace {

class Status : public ZorvlogTest {
protected:
    JsonValue status(int expected) {
        CapturedProcess run = zorvlog({"status", "--json"});
        EXPECT_EQ(run.status, expected) << run.out << run.err;
        return JsonValue::parse(run.out);
    }
    static std::vector<std::string> strings(const JsonValue& array) {
        std::vector<std::string> out;
        for (const JsonValue& item : array.array()) {
            out.push_back(item.str());
        }
        return out;
    }
    std::string lockDir() const { return mHome.root() + "/lock"; }
};

TEST_F(Status, AWorkingSetupWithAMisleadingSwitch) {
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "0");
    JsonValue s = status(0);
    const std::string dir = mHome.zorvDataDir();
    EXPECT_TRUE(s["debug"]["on"].boolean());
    EXPECT_NE(s["debug"]["warning"].str().find("unset ZORV_DEBUG_MODE"), std::string::npos);
    EXPECT_FALSE(s["perf"]["on"].boolean());
    EXPECT_TRUE(s["perf"]["warning"].isNull());
    EXPECT_EQ(s["debug"]["file"].str(), dir + "/ZorvDebug.log");
    EXPECT_EQ(s["perf"]["file"].str(), dir + "/ZorvPerfLog.csv");
    EXPECT_EQ(s["qet_log"]["file"].str(), dir + "/QET.log");
    EXPECT_TRUE(s["log_directory"]["usable"].boolean());
    EXPECT_EQ(s["table"]["file"].str(), tablePath());
    EXPECT_TRUE(s["table"]["clean"].boolean());
    EXPECT_EQ(s["lock_place"]["path"].str(), lockDir());
    EXPECT_EQ(s["qet"]["state"].str(), "not serving");
    EXPECT_TRUE(strings(s["off"]).empty());
    EXPECT_FALSE(fileExists(dir + "/ZorvDebug.log")) << "status writes no record";

    CapturedProcess text = zorvlog({"status"});
    EXPECT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("warning: any value switches it on, \"0\" too"), std::string::npos)
        << text.out;
    EXPECT_EQ(splitLines(text.out).back(), "Everything a client needs works.");
}

TEST_F(Status, WhatIsOffIsNamedWithItsReason) {
    const std::string dir = mHome.zorvDataDir();
    ASSERT_EQ(::chmod(dir.c_str(), 0777), 0);
    writeFile(mDir.file("file"), "");
    ScopedEnv noLockPlace("ZORV_LOCK_DIR", mDir.file("file/lock").c_str());
    JsonValue s = status(1);
    EXPECT_EQ(strings(s["off"]),
              (std::vector<std::string>{"log_directory", "table", "lock_place"}));
    EXPECT_EQ(s["log_directory"]["reason"].str(), "is writable by others");
    EXPECT_NE(s["table"]["passed_over"].str().find("writable by others"), std::string::npos);
    EXPECT_NE(s["lock_place"]["reason"].str().find("cannot be made"), std::string::npos);
    EXPECT_EQ(s["qet"]["state"].str(), "unknown");
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
    EXPECT_EQ(strings(s["off"]), (std::vector<std::string>{"table", "lock_place"}));
    EXPECT_EQ(s["table"]["findings"].number(), 1);
    EXPECT_FALSE(s["debug"]["problem"].isNull());
    ScopedEnv debugOn("ZORV_DEBUG_MODE", "1");
    EXPECT_EQ(strings(status(1)["off"]),
              (std::vector<std::string>{"debug", "table", "lock_place"}));

    // A lock place named by ZORV_LOCK_DIR that others may write to: refused
    // and left as it is.
    ASSERT_EQ(::chmod(mDir.path().c_str(), 0777), 0);
    ScopedEnv openLockPlace("ZORV_LOCK_DIR", mDir.path().c_str());
    EXPECT_EQ(status(1)["lock_place"]["reason"].str(),
              "ZORV_LOCK_DIR " + mDir.path() + " is writable by others");
    struct stat st;
    ASSERT_EQ(::stat(mDir.path().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0777u);
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
    JsonValue s = status(0);
    EXPECT_EQ(s["qet"]["state"].str(), "serving");
    EXPECT_EQ(s["qet"]["pid"].number(), qet.pid());
    EXPECT_EQ(s["qet"]["socket"].str(), socket);
    EXPECT_TRUE(s["qet"]["socket_present"].boolean());

    // QET alive, its socket gone: nothing can reach it.
    ASSERT_EQ(::unlink(socket.c_str()), 0);
    EXPECT_EQ(strings(status(1)["off"]), (std::vector<std::string>{"qet"}));

    // Ended: its words stay in the file, the lock tells.
    qet.kill(SIGTERM);
    EXPECT_EQ(qet.wait(), 0);
    EXPECT_NE(readFile(lockDir() + "/QET.lock").find(socket), std::string::npos);
    EXPECT_EQ(status(0)["qet"]["state"].str(), "not serving");
}
#endif

} // namespace
} // namespace zorvtest
