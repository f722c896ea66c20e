// main's body (program/QETMain.h), run with doubles of the application
// libraries in process, and in child processes where an exception must be
// left uncaught or a real window closed.

#include "QETMain.h"
#include "QetMainDoubles.h"
#include "QetTestHelpers.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>

namespace {

using Events = std::vector<std::string>;

int runMain(std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) {
        argv.push_back(&a[0]);
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(args.size());
    return qet::run<doubles::Base, doubles::App, doubles::Conduit, doubles::InternalConduit>(
        argc, argv.data());
}

class QetMainOrder : public ::testing::Test {
protected:
    void SetUp() override { doubles::reset(); }
};

const Events kStart = {"logDebug starting", "App 3 gui", "initialize",
                       "setQuitOnLastWindowClosed false"};

Events concat(Events a, const Events& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST_F(QetMainOrder, TwoArgumentsAreForwardedAsOnePacketBeforeTheLoop) {
    doubles::script().execResult = 42;
    EXPECT_EQ(runMain({"QET", "a", "b c"}), 42);
    // clang-format off
    const Events expected = concat(kStart, {
        "server", "conduit", "server", "setTimeout 5000", "server", "setMaxConnections -1",
        "packetFromCommandLine 2", "retain", "connect", "send a,b c refs 1", "release",
        "exec", "uninitialize", "~App"});
    // clang-format on
    EXPECT_EQ(doubles::events(), expected);
    ASSERT_TRUE(doubles::lastPacket());
    EXPECT_EQ(doubles::lastPacket()->references, 0);
}

TEST_F(QetMainOrder, NoArgumentOrOneArgumentIsNotForwarded) {
    for (const auto& args : {std::vector<std::string>{"QET"}, {"QET", "only"}}) {
        doubles::reset();
        EXPECT_EQ(runMain(args), 0);
        const Events& e = doubles::events();
        EXPECT_EQ(std::count(e.begin(), e.end(), "exec"), 1);
        EXPECT_EQ(std::count(e.begin(), e.end(), "connect"), 0) << args.size();
        EXPECT_FALSE(doubles::lastPacket());
    }
}

TEST_F(QetMainOrder, QtOptionsRemovedByTheApplicationAreNotCounted) {
    EXPECT_EQ(runMain({"QET", "-style", "fusion", "one"}), 0);
    EXPECT_EQ(std::count(doubles::events().begin(), doubles::events().end(), "connect"), 0);

    doubles::reset();
    EXPECT_EQ(runMain({"QET", "-style", "fusion", "x", "y"}), 0);
    ASSERT_TRUE(doubles::lastPacket());
    EXPECT_EQ(doubles::lastPacket()->arguments, (std::vector<std::string>{"x", "y"}));
}

TEST_F(QetMainOrder, WithoutServerOrConduitNothingIsServedAndStatusIsOne) {
    doubles::script().noServer = true;
    EXPECT_EQ(runMain({"QET", "a", "b"}), qet::kExitNotServing);
    EXPECT_EQ(doubles::events(), concat(kStart, {"server", "~App"}));

    doubles::reset();
    doubles::script().noConduit = true;
    EXPECT_EQ(runMain({"QET", "a", "b"}), qet::kExitNotServing);
    EXPECT_EQ(doubles::events(), concat(kStart, {"server", "conduit", "~App"}));
    // Without a conduit the application decides: 0 when another QET took
    // the command line.
    doubles::script().notServingStatus = 0;
    EXPECT_EQ(runMain({"QET", "a", "b"}), 0);
}

TEST_F(QetMainOrder, AnExceptionAfterConstructionDestroysTheApplicationFirst) {
    struct Case {
        std::string at;
        Events tail; // events after the throwing call
    };
    for (const Case& c : {Case{"initialize", {"~App"}}, Case{"exec", {"~App"}},
                          Case{"send", {"release", "~App"}}}) {
        doubles::reset();
        doubles::script().throwAt = c.at;
        EXPECT_THROW(runMain({"QET", "a", "b"}), std::runtime_error) << c.at;
        const Events& e = doubles::events();
        auto thrower = std::find_if(e.begin(), e.end(), [&](const std::string& s) {
            return s.compare(0, c.at.size(), c.at) == 0;
        });
        ASSERT_NE(thrower, e.end()) << c.at;
        EXPECT_EQ(Events(thrower + 1, e.end()), c.tail) << c.at;
        EXPECT_EQ(std::count(e.begin(), e.end(), "uninitialize"), 0) << c.at;
    }
}

// In a child, nothing catches: only main's own handler makes the runtime
// unwind, so "~App" appears before the runtime reports the exception.
TEST(QetMainUncaught, TheApplicationIsDestroyedBeforeTheExceptionLeavesMain) {
    qettest::QetHome home;
    zorvtest::TempDir dir;
    for (const std::string at : {"initialize", "exec", "send"}) {
        zorvtest::ChildSetup setup;
        setup.output = dir.file(at + ".out");
        zorvtest::ChildProcess child({QET_MAIN_CHILD, "throw-at-" + at, "QET", "a", "b"}, setup);
        const int status = child.wait(qettest::kWaitMs);
        const std::string out = child.output();
        EXPECT_EQ(status, 128 + SIGABRT) << out;
        const auto destroyed = out.find("event: ~App");
        const auto reported = out.find("thrown at " + at);
        ASSERT_NE(destroyed, std::string::npos) << out;
        ASSERT_NE(reported, std::string::npos) << out;
        EXPECT_LT(destroyed, reported) << out;
    }
}

TEST(QetMainUncaught, AnExceptionInTheFirstStepPropagatesBeforeAnyApplication) {
    qettest::QetHome home;
    zorvtest::TempDir dir;
    zorvtest::ChildSetup setup;
    setup.output = dir.file("out");
    zorvtest::ChildProcess child({QET_MAIN_CHILD, "throw-at-logDebug", "QET"}, setup);
    EXPECT_EQ(child.wait(qettest::kWaitMs), 128 + SIGABRT);
    EXPECT_NE(child.output().find("thrown at logDebug"), std::string::npos);
    EXPECT_EQ(child.output().find("event: App"), std::string::npos);
}

class QetMainRealApplication : public ::testing::Test {
protected:
    qettest::QetHome mHome;
    zorvtest::ScopedEnv mPlatform{"QT_QPA_PLATFORM", "offscreen"};

    std::string run(bool control, int* status) {
        zorvtest::ScopedEnv quit("QET_CHILD_QUIT_ON_CLOSE", control ? "1" : nullptr);
        zorvtest::ChildSetup setup;
        setup.output = mHome.root() + (control ? "/control.out" : "/run.out");
        zorvtest::ChildProcess child({QET_MAIN_CHILD, "close-last-window", "QET"}, setup);
        *status = child.wait(qettest::kWaitMs);
        return child.output();
    }
};

TEST_F(QetMainRealApplication, ClosingTheLastVisibleWindowDoesNotEndTheLoop) {
    int status = -1;
    std::string out = run(false, &status);
    EXPECT_NE(out.find("window closed: 1"), std::string::npos) << out;
    EXPECT_NE(out.find("still running"), std::string::npos) << out;
    EXPECT_EQ(status, 7) << out;
    // uninitialize() ran: the socket is gone.
    EXPECT_FALSE(zorvtest::fileExists(mHome.runtimeDir() + "/QET.pipe"));

    // Control: with Qt's default restored, the same close ends the loop.
    out = run(true, &status);
    EXPECT_NE(out.find("window closed: 1"), std::string::npos) << out;
    EXPECT_EQ(out.find("still running"), std::string::npos) << out;
    EXPECT_EQ(status, 0) << out;
}

} // namespace
