#include "support/TestSupport.h"

#include <zorv/CZorvUtilObjectManager.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvMutex.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "support/ChildProcess.h"

#include <zorv/ZorvErrorBase.h>

using zorvtest::readFile;
using zorvtest::splitFields;
using zorvtest::splitLines;
using Journal = std::vector<std::string>;

namespace {

// "exitlog FILE OWNFILE": a client whose global object, made before its
// first instance_m(), logs an error record through instance_m() from its
// destructor; and that registers a clean-up after that first instance_m()
// which logs one through instance_m() and through a logger of its own, when
// the process exits normally.
int roleExitLog(const std::vector<std::string>& args) {
    if (args.size() < 2) {
        return 90;
    }
    struct LogsWhenDestroyed {
        ~LogsWhenDestroyed() {
            ZorvLogger::instance_m()->log(
                ZorvErrorBase(Zorv::kZorvQet, 3, TStr("global.cpp"), 9, TStr("5.0")));
        }
    };
    static LogsWhenDestroyed global;
    // On the heap: the clean-ups run after the client's static objects are gone.
    static ZorvLogger* own = new ZorvLogger{TStr(args[1])};
    own->startLogging();
    ZorvLogger* managed = ZorvLogger::instance_m();
    managed->setLogFileName(TStr(args[0]));
    managed->startLogging();
    struct LogAtExit : CZorvUtilCleanup {
        void cleanup(void*) override {
            const ZorvErrorBase record(Zorv::kZorvQet, 3, TStr("exit.cpp"), 7, TStr("5.0"));
            ZorvLogger::instance_m()->log(record);
            own->log(record);
            delete own;
            delete this;
        }
    };
    CZorvUtilObjectManager::at_exit(new LogAtExit, nullptr);
    std::exit(0);
}

[[maybe_unused]] const bool kRolesRegistered = zorvtest::registerRole("exitlog", roleExitLog);

// A record as a client writes one: key/value lines through the logger's file.
// Optionally slow and wide (lines beyond the stream's buffer, a pause after
// each), so that two writers without the mutex would interleave.
class ClientRecord : public ZorvLoggable {
public:
    ClientRecord(const std::string& tag, int lines, Journal* journal = nullptr, bool slow = false)
        : ZorvLoggable(TStr()), mTag(tag), mLines(lines), mJournal(journal), mSlow(slow) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        if (mJournal != nullptr) {
            mJournal->push_back("dump");
        }
        for (int i = 0; i < mLines; ++i) {
            logger->mLogFile.write(TStr("line" + std::to_string(i)),
                                   TStr(mTag + std::string(mSlow ? 20000 : 0, 'p')));
            if (mSlow) {
                ::usleep(500);
            }
        }
        if (mTag == "throw") {
            throw std::runtime_error("record failed");
        }
    }

private:
    std::string mTag;
    int mLines;
    Journal* mJournal;
    bool mSlow;
};

// Records what the logger does with its mutex; the logger deletes it.
class JournalMutex : public ZorvMutexImp {
public:
    JournalMutex(Journal& journal, bool creatable) : mJournal(journal), mCreatable(creatable) {}
    ~JournalMutex() override { mJournal.push_back("deleted"); }
    bool create(const TStr& name) override {
        mJournal.push_back("create " + name.bytes());
        return mCreatable;
    }
    bool tryLock() override { return true; }
    bool lock(int limit) override {
        mJournal.push_back("lock " + std::to_string(limit));
        return true;
    }
    void unlock() override { mJournal.push_back("unlock"); }
    void close() override {}

private:
    Journal& mJournal;
    bool mCreatable;
};

// Lets a test see and plant the mutex of a log call, and log with a wait
// limit of its own, as a subclass may.
class ProbeLogger : public ZorvLogger {
public:
    using ZorvLogger::ZorvLogger;
    ZorvMutexImp*& mutex() { return mMutex; }
    std::string logWithin(ZorvLoggable* record, int limit) {
        switch (logWithWaitLimit(record, limit)) {
        case kNoRecord:
            return "no record";
        case kRecordLocked:
            return "locked";
        case kRecordWaitRanOut:
            return "wait ran out";
        case kRecordWithoutMutex:
            return "no mutex";
        }
        return "?";
    }
};

class CountingLogger : public ZorvLogger {
public:
    CountingLogger() : ZorvLogger(false) {}
    using ZorvLogger::log;
    void log(ZorvLoggable*) override { ++calls; }
    int calls = 0;
};

class LoggerTest : public ::testing::Test {
protected:
    ~LoggerTest() override {
        ::unlink(
            ("/dev/shm/zorv-" + std::to_string(::geteuid()) + "/" + mName + ".Mutex.v2").c_str());
    }

    void installShippedTable() {
        ::mkdir(mHome.dataHome().c_str(), 0700);
        ::mkdir(mHome.zorvDataDir().c_str(), 0700);
        zorvtest::writeFile(mHome.zorvDataDir() + "/ZorvErrorCodes.xml",
                            readFile(ZORV_SOURCE_DIR "/data/ZorvErrorCodes.xml"));
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    // The named mutex is shared by every process logging to a file of the
    // same name: one name per test and process, its mutex file removed after.
    std::string mName =
        std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
        std::to_string(::getpid()) + ".log";
    std::string mPath = mDir.file(mName);
};

} // namespace

TEST_F(LoggerTest, FileAndSectionLifeCycle) {
    ProbeLogger logger(false);
    ClientRecord record("x", 2);
    logger.log(static_cast<ZorvLoggable*>(nullptr));
    EXPECT_EQ(nullptr, logger.mutex());
    logger.startLogging();
    logger.log(record); // no file name yet: nothing anywhere
    logger.setLogFileName(TStr());
    EXPECT_EQ("", logger.getLogFileName().bytes());

    logger.setLogFileName(TStr(mPath));
    logger.setLogFileName(TStr());
    EXPECT_EQ(mPath, logger.getLogFileName().bytes());
    ZorvLogger unstarted{TStr(mPath)};
    unstarted.log(record);
    EXPECT_EQ(0, zorvtest::fileSize(mPath)); // created, but no section: no line

    const std::string header = logger.getHeader().bytes();
    logger.log(record);
    ClientRecord second("y", 1);
    logger.log(second);
    EXPECT_EQ(header + "\tline0=x\n" + header + "\tline1=x\n" + header + "\tline0=y\n",
              readFile(mPath));
}

TEST_F(LoggerTest, HeaderIsProcessDateAndTime) {
    ZorvLogger logger(false);
    EXPECT_EQ("", logger.getHeader().bytes());
    logger.startLogging();
    EXPECT_TRUE(
        std::regex_match(logger.getHeader().bytes(),
                         std::regex(std::to_string(::getpid()) +
                                    "\t[0-9]{4}/[0-9]{2}/[0-9]{2}\t[0-9]{2}:[0-9]{2}:[0-9]{2}")))
        << logger.getHeader().bytes();
    logger.startLoggingWMilliSecs();
    EXPECT_TRUE(std::regex_match(logger.getHeader().bytes(),
                                 std::regex(".*\t[0-9]{2}:[0-9]{2}:[0-9]{2}:(0|[1-9][0-9]{0,2})")))
        << logger.getHeader().bytes();
}

TEST_F(LoggerTest, ConstructorsLoadTheTableOnlyWhereAsked) {
    installShippedTable();
    EXPECT_EQ("ZorvQet", ZorvLogger().mErrorTable.GetVendorName(8).bytes());
    EXPECT_EQ("ZorvQet", ZorvLogger(true).mErrorTable.GetVendorName(8).bytes());
    EXPECT_EQ("", ZorvLogger(false).mErrorTable.GetVendorName(8).bytes());
    EXPECT_EQ("", ZorvLogger(TStr()).mErrorTable.GetVendorName(8).bytes());
    EXPECT_EQ("ZorvQet", ZorvLogger(TStr(mPath)).mErrorTable.GetVendorName(8).bytes());
    // A string literal or pointer is a file name, an integer the flag.
    EXPECT_EQ("", ZorvLogger(0).mErrorTable.GetVendorName(8).bytes());
    EXPECT_EQ("ZorvQet", ZorvLogger(1).mErrorTable.GetVendorName(8).bytes());
    const char* pointer = "/nonexistent/other.log";
    EXPECT_EQ(pointer, ZorvLogger(pointer).getLogFileName().bytes());
    ZorvLogger literal("/nonexistent/app.log");
    EXPECT_EQ("/nonexistent/app.log", literal.getLogFileName().bytes());
    EXPECT_EQ("ZorvQet", literal.mErrorTable.GetVendorName(8).bytes());

    ::unlink((mHome.zorvDataDir() + "/ZorvErrorCodes.xml").c_str());
    EXPECT_FALSE(literal.loadErrorTable()); // no table anywhere: the old one stays
    EXPECT_EQ("ZorvQet", literal.mErrorTable.GetVendorName(8).bytes());
}

TEST_F(LoggerTest, DefaultLoggers) {
    ZorvLogger::close(); // nothing held: nothing happens
    ZorvLogger* logger = ZorvLogger::instance();
    EXPECT_EQ(logger, ZorvLogger::instance());
    logger->setLogFileName(TStr(mPath));
    ZorvLogger::close();
    EXPECT_EQ("", ZorvLogger::instance()->getLogFileName().bytes());

    ZorvLogger* managed = ZorvLogger::instance_m();
    EXPECT_EQ(managed, CZorvUtilSingleton<ZorvLogger>::instance()); // the library's one object
    EXPECT_NE(managed, ZorvLogger::instance());
    managed->setLogFileName(TStr(mPath));
    ZorvLogger::close();
    EXPECT_EQ(mPath, ZorvLogger::instance_m()->getLogFileName().bytes());
    CZorvUtilObjectManager::runCleanups();
    EXPECT_EQ(nullptr, CZorvUtilSingleton<ZorvLogger>::instance_i());
    EXPECT_EQ("", ZorvLogger::instance_m()->getLogFileName().bytes());
}

// At exit, the client's global objects go first, then the clean-ups, newest
// first, then the library's own: a record logged through instance_m() from a
// global destructor, or from a clean-up registered after the first
// instance_m() (through it or a logger of the client's own), is written, and
// under the sanitizers reads nothing destroyed.
TEST_F(LoggerTest, CleanUpsAtExitLogThroughTheDefaultLogger) {
    installShippedTable();
    const std::string own = mDir.file("own.log");
    zorvtest::RoleProcess client("exitlog", {mPath, own});
    ASSERT_EQ(client.wait(30000), 0);
    for (const std::string& file : {mPath, own}) {
        const std::string text = readFile(file);
        EXPECT_NE(text.find("\tFile=exit.cpp,Line=7\n"), std::string::npos) << file << ": " << text;
        EXPECT_NE(text.find("\tVendorID=8 [ZorvQet]\n"), std::string::npos) << file << ": " << text;
    }
    EXPECT_NE(readFile(mPath).find("\tFile=global.cpp,Line=9\n"), std::string::npos);
}

TEST_F(LoggerTest, MutexIsNamedAfterTheLastPathComponent) {
    Journal journal;
    for (const char* path : {"/tmp/a/ZorvDebug.log", "/var/b/ZorvDebug.log", "ZorvDebug.log"}) {
        ProbeLogger logger{TStr(path)};
        logger.mutex() = new JournalMutex(journal, true);
        EXPECT_TRUE(logger.initSynchronizeObject());
    }
    // A name ending in "/" has no last component; without a mutex object
    // there is nothing to create.
    ProbeLogger directory{TStr("/tmp/a/")};
    directory.mutex() = new JournalMutex(journal, true);
    EXPECT_FALSE(directory.initSynchronizeObject());
    EXPECT_FALSE(ProbeLogger{TStr(mPath)}.initSynchronizeObject());
    const std::string created = "create ZorvDebug.log.Mutex";
    EXPECT_EQ(Journal({created, "deleted", created, "deleted", created, "deleted"}), journal);
}

TEST_F(LoggerTest, MutexNameFollowsEveryChangeOfTheFileName) {
    // One logger, its file renamed between records in each way a client can:
    // the name is derived once per file name, so a stale one would show here.
    Journal journal;
    ProbeLogger logger{TStr("/tmp/a/first.log")};
    auto create = [&] {
        logger.mutex() = new JournalMutex(journal, true);
        bool created = logger.initSynchronizeObject();
        delete logger.mutex();
        logger.mutex() = nullptr;
        return created;
    };
    EXPECT_TRUE(create());
    EXPECT_TRUE(create());
    logger.setLogFileName(TStr("/tmp/a/second.log"));
    EXPECT_TRUE(create());
    logger.mLogFile.setFilename(TStr("/tmp/b/third.log")); // past the logger
    EXPECT_TRUE(create());
    logger.mLogFile.setFilename(TStr("/tmp/b/"));
    EXPECT_FALSE(create());
    logger.mLogFile.setFilename(TStr("/tmp/a/first.log"));
    EXPECT_TRUE(create());
    EXPECT_EQ(Journal({"create first.log.Mutex", "deleted", "create first.log.Mutex", "deleted",
                       "create second.log.Mutex", "deleted", "create third.log.Mutex", "deleted",
                       "deleted", "create first.log.Mutex", "deleted"}),
              journal);
}

TEST_F(LoggerTest, RecordIsWrittenUnderTheMutexWhateverItsFate) {
    // What the order guarantees, not each call: the mutex is made for the
    // record and deleted after it, the record's lines come while it is held,
    // and a lock taken is released whatever became of the record.
    struct Case {
        bool creatable;
        bool fileOpens;
        const char* tag; // "throw": the record throws after its line
    } cases[] = {{true, true, "x"}, {false, true, "x"}, {true, false, "x"}, {true, true, "throw"}};
    for (const Case& c : cases) {
        Journal journal;
        ProbeLogger logger{TStr(c.fileOpens ? mPath : mDir.file("missing/" + mName))};
        logger.startLogging();
        logger.mutex() = new JournalMutex(journal, c.creatable);
        ClientRecord record(c.tag, 1, &journal);
        bool thrown = false;
        try {
            logger.log(record);
        } catch (const std::runtime_error&) {
            thrown = true;
        }
        EXPECT_EQ(std::string(c.tag) == "throw", thrown);
        EXPECT_EQ(nullptr, logger.mutex());
        auto at = [&](const std::string& entry) {
            return std::find(journal.begin(), journal.end(), entry) - journal.begin();
        };
        const long size = static_cast<long>(journal.size());
        EXPECT_EQ(0, at("create " + mName + ".Mutex"));
        EXPECT_EQ(size - 1, at("deleted"));
        EXPECT_EQ(c.creatable, at("lock 10000") < size);
        EXPECT_EQ(at("lock 10000") < size, at("unlock") < size);
        EXPECT_EQ(c.fileOpens, at("dump") < size);
        if (c.creatable && c.fileOpens) {
            EXPECT_LT(at("lock 10000"), at("dump"));
            EXPECT_LT(at("dump"), at("unlock"));
        }
    }
    EXPECT_EQ(3u, splitLines(readFile(mPath)).size());
}

TEST_F(LoggerTest, ASubclassChoosesTheWaitAndLearnsHowTheLockWent) {
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    ClientRecord record("x", 1);
    EXPECT_EQ("no record", logger.logWithin(nullptr, 0));
    EXPECT_EQ("locked", logger.logWithin(&record, 0));
    {
        // Held through another object of this thread: never waited for.
        ZorvMutex held;
        ASSERT_TRUE(held.create(TStr(mName + ".Mutex")));
        ASSERT_TRUE(held.lock(0));
        EXPECT_EQ("wait ran out", logger.logWithin(&record, 10000));
    }
    Journal journal;
    logger.mutex() = new JournalMutex(journal, false);
    EXPECT_EQ("no mutex", logger.logWithin(&record, 7));
    logger.mutex() = new JournalMutex(journal, true);
    EXPECT_EQ("locked", logger.logWithin(&record, 7));
    EXPECT_EQ(Journal({"create " + mName + ".Mutex", "deleted", "create " + mName + ".Mutex",
                       "lock 7", "unlock", "deleted"}),
              journal);
    EXPECT_EQ(4u, splitLines(readFile(mPath)).size()); // written, whatever the lock
}

TEST_F(LoggerTest, ThrowingRecordLeavesFileClosedAndMutexReleased) {
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    ClientRecord bad("throw", 1);
    EXPECT_THROW(logger.log(bad), std::runtime_error);
    EXPECT_EQ(nullptr, logger.mutex());
    EXPECT_EQ(1u, splitLines(readFile(mPath)).size()); // closed: the line reached the file
    ZorvMutex other;
    ASSERT_TRUE(other.create(TStr(mName + ".Mutex")));
    EXPECT_TRUE(other.tryLock());
    other.unlock();

    ClientRecord good("after", 1);
    logger.log(good);
    EXPECT_EQ(2u, splitLines(readFile(mPath)).size());

    CountingLogger counting; // the reference form goes through the overridable pointer form
    counting.log(static_cast<const ZorvLoggable&>(good));
    EXPECT_EQ(1, counting.calls);
}

TEST_F(LoggerTest, AMutexFileIsMappedOncePerProcess) {
    // The loggers find the lock's shared words in the named mutex's own
    // mapping, whichever file object writes and whatever directory it is in.
    ASSERT_EQ(0, ::mkdir(mDir.file("other").c_str(), 0700));
    ZorvLogger first{TStr(mPath)}, second{TStr(mPath)},
        elsewhere{TStr(mDir.file("other/" + mName))};
    ClientRecord record("x", 1);
    for (ZorvLogger* logger : {&first, &second, &elsewhere, &first}) {
        logger->startLogging();
        logger->log(record);
    }
    const std::string entry = "/" + mName + ".Mutex.v2";
    int mappings = 0;
    for (const std::string& line : splitLines(readFile("/proc/self/maps"))) {
        mappings += line.size() > entry.size() &&
                    line.compare(line.size() - entry.size(), entry.size(), entry) == 0;
    }
    EXPECT_EQ(1, mappings);
    EXPECT_EQ(3u, splitLines(readFile(mPath)).size());
}

TEST_F(LoggerTest, NamedMutexKeepsTheRecordsOfTwoProcessesApart) {
    constexpr int kRecords = 25, kLines = 4;
    int gate[2];
    ASSERT_EQ(0, ::pipe(gate));
    std::vector<pid_t> children;
    for (const char* tag : {"A", "B"}) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char go;
            if (::read(gate[0], &go, 1) < 0) { // both start when the gate closes
                ::_exit(2);
            }
            ZorvLogger logger(false);
            logger.setLogFileName(TStr(mPath));
            logger.startLogging();
            ClientRecord record(tag, kLines, nullptr, true);
            for (int i = 0; i < kRecords; ++i) {
                logger.log(record);
            }
            ::_exit(0);
        }
        children.push_back(pid);
    }
    ::close(gate[0]);
    ::close(gate[1]);
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(pid, ::waitpid(pid, &status, 0));
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }

    const std::vector<std::string> lines = splitLines(readFile(mPath));
    ASSERT_EQ(2u * kRecords * kLines, lines.size());
    // Every record is line0..line3 in a row, whole, all of one process.
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const std::vector<std::string> fields = splitFields(lines[i], '\t');
        const std::vector<std::string> first = splitFields(lines[i - i % kLines], '\t');
        ASSERT_EQ(4u, fields.size()) << "line " << i;
        EXPECT_EQ(first[0], fields[0]) << "line " << i;
        const std::string expected =
            "line" + std::to_string(i % kLines) + "=" + first[3].substr(6, 1);
        EXPECT_EQ(expected + std::string(20000, 'p'), fields[3]) << "line " << i;
    }
}
