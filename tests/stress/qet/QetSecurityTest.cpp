// Where QET puts its socket, and what it does with what others placed there.

#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <csignal>
#include <memory>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

using zorvtest::ChildProcess;

namespace {

class QetSecurity : public ::testing::Test {
protected:
    qettest::QetHome mHome;
    zorvtest::ScopedEnv mPlatform{"QT_QPA_PLATFORM", "offscreen"};
    int mRuns = 0;

    std::unique_ptr<ChildProcess> startQet() {
        zorvtest::ChildSetup setup;
        setup.output = mHome.root() + "/qet-" + std::to_string(++mRuns) + ".out";
        return std::make_unique<ChildProcess>(std::vector<std::string>{QET_BINARY}, setup);
    }
};

struct stat lstatOf(const std::string& path) {
    struct stat st = {};
    if (::lstat(path.c_str(), &st) != 0) {
        st.st_mode = 0;
    }
    return st;
}

} // namespace

// A link where the socket goes is refused, not followed and not removed:
// whatever it points at stays as it was.
TEST_F(QetSecurity, LinkPlantedAtTheSocketPathIsRefused) {
    const std::string socket = mHome.runtimeDir() + "/QET.pipe";
    zorvtest::TempDir elsewhere;
    const std::string victim = elsewhere.file("victim");
    zorvtest::writeFile(victim, "precious\n");
    const std::string missing = elsewhere.file("missing");

    for (const std::string& target : {victim, missing}) {
        ::unlink(socket.c_str());
        ASSERT_EQ(::symlink(target.c_str(), socket.c_str()), 0);
        auto qet = startQet();
        EXPECT_EQ(qet->wait(qettest::kWaitMs), 1) << qet->output();
        EXPECT_TRUE(S_ISLNK(lstatOf(socket).st_mode)) << "the link was removed or replaced";
    }
    EXPECT_EQ(zorvtest::readFile(victim), "precious\n");
    EXPECT_FALSE(zorvtest::fileExists(missing));
}

// A runtime directory that everyone may write to is no place for the socket:
// another user could put their own in its stead.
TEST_F(QetSecurity, SocketIsNotPlacedInAWorldWritableRuntimeDirectory) {
    zorvtest::TempDir shared;
    ASSERT_EQ(::chmod(shared.path().c_str(), 01777), 0);
    zorvtest::ScopedEnv runtime("XDG_RUNTIME_DIR", shared.path().c_str());
    auto qet = startQet();
    // It serves from the lock place instead.
    ASSERT_TRUE(qettest::serving(*qet, mHome.lockDir() + "/QET.pipe")) << qet->output();
    EXPECT_FALSE(zorvtest::fileExists(shared.path() + "/QET.pipe"))
        << "socket created in a world-writable directory";
    EXPECT_EQ(qettest::stop(*qet), 0);
}

// Without XDG_RUNTIME_DIR the socket goes to the user's lock place, owner-only,
// and is gone again after a clean stop.
TEST_F(QetSecurity, WithoutARuntimeDirectoryTheSocketIsPrivate) {
    const std::string dir = mHome.lockDir();
    const std::string socket = dir + "/QET.pipe";
    zorvtest::ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
    auto qet = startQet();
    ASSERT_TRUE(qettest::serving(*qet, socket)) << qet->output();
    const struct stat d = lstatOf(dir);
    EXPECT_TRUE(S_ISDIR(d.st_mode));
    EXPECT_EQ(d.st_uid, ::geteuid());
    EXPECT_EQ(d.st_mode & 077, 0u) << "the directory is open to others";
    EXPECT_EQ(lstatOf(socket).st_mode & 077, 0u) << "the socket is open to others";
    EXPECT_EQ(qettest::stop(*qet), 0);
    EXPECT_FALSE(zorvtest::fileExists(socket));
}

// A lock place without room (anyone may fill /dev/shm): QET says that its
// records go without their lock, serves, and its records are written.
TEST_F(QetSecurity, AFullLockPlaceIsSaidAndQetServes) {
    std::string why;
    if (!zorvtest::mountFullTmpfs(mHome.lockDir(), &why)) {
        GTEST_SKIP() << why;
    }
    zorvtest::ScopedEnv debug("ZORV_DEBUG_MODE", "1");
    auto qet = startQet();
    const bool serving = qettest::serving(*qet, mHome.runtimeDir() + "/QET.pipe");
    const int status = serving ? qettest::stop(*qet) : -1;
    ::umount2(mHome.lockDir().c_str(), MNT_DETACH);
    ASSERT_TRUE(serving) << qet->output();
    EXPECT_EQ(status, 0);
    EXPECT_NE(qet->output().find("without their lock"), std::string::npos) << qet->output();
    EXPECT_FALSE(qettest::qetDebugMessages(mHome.zorvDataDir() + "/ZorvDebug.log").empty());
}
