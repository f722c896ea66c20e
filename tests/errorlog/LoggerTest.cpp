#include "support/TestSupport.h"

#include <zorv/CZorvUtilObjectManager.h>
#include <zorv/CZorvUtilSingleton.h>
#include <zorv/ZorvLoggable.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvMutex.h>

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using zorvtest::fileExists;
using zorvtest::fileSize;
using zorvtest::readFile;
using zorvtest::splitFields;
using zorvtest::splitLines;

namespace {

std::string s(const TStr& text) {
    return text.bytes();
}

// A record as a client would write one: several key/value lines through the
// logger's file, counting how often the logger asked for it.
class KeyValueRecord : public ZorvLoggable {
public:
    KeyValueRecord(const std::string& tag, int lines)
        : ZorvLoggable(TStr()), mTag(tag), mLines(lines) {}

    void dumpTechSupport(ZorvLogger* logger) const override {
        ++mDumps;
        for (int i = 0; i < mLines; ++i) {
            logger->mLogFile.write(TStr("line" + std::to_string(i)), TStr(mTag));
        }
    }
    int dumps() const { return mDumps; }

private:
    std::string mTag;
    int mLines;
    mutable int mDumps = 0;
};

// Writes one line and then fails.
class ThrowingRecord : public ZorvLoggable {
public:
    ThrowingRecord() : ZorvLoggable(TStr()) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        logger->mLogFile.write(TStr("before"), TStr("throw"));
        throw std::runtime_error("record failed");
    }
};

// A mutex that records what the logger does with it. The logger owns and
// deletes it, so the journal lives outside.
class JournalMutex : public ZorvMutexImp {
public:
    JournalMutex(std::vector<std::string>& journal, bool creatable)
        : mJournal(journal), mCreatable(creatable) {}
    ~JournalMutex() override { mJournal.push_back("deleted"); }
    bool create(const TStr& name) override {
        mJournal.push_back("create " + s(name));
        return mCreatable;
    }
    bool tryLock() override {
        mJournal.push_back("tryLock");
        return true;
    }
    bool lock(int limit) override {
        mJournal.push_back("lock " + std::to_string(limit));
        return true;
    }
    void unlock() override { mJournal.push_back("unlock"); }
    void close() override { mJournal.push_back("close"); }

private:
    std::vector<std::string>& mJournal;
    bool mCreatable;
};

// Notes in the journal what it finds while it is being written.
class JournalRecord : public ZorvLoggable {
public:
    explicit JournalRecord(std::vector<std::string>& journal)
        : ZorvLoggable(TStr()), mJournal(journal) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        mJournal.push_back("dump");
        logger->mLogFile.write(TStr("k"), TStr("v"));
    }

private:
    std::vector<std::string>& mJournal;
};

// Lets a test see and plant the mutex of the current log call.
class ProbeLogger : public ZorvLogger {
public:
    using ZorvLogger::ZorvLogger;
    ZorvMutexImp*& mutex() { return mMutex; }
};

// Overrides the pointer form, as the switchable loggers do.
class CountingLogger : public ZorvLogger {
public:
    CountingLogger() : ZorvLogger(false) {}
    using ZorvLogger::log;
    void log(ZorvLoggable*) override { ++calls; }
    int calls = 0;
};

// A log file name of this test alone: the named mutex is shared by every
// process that logs to a file of the same name, other test runs included, and
// each test removes its mutex file when it ends.
std::string uniqueName(const std::string& stem) {
    return stem + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name() + "-" +
           std::to_string(::getpid()) + ".log";
}

// The mutex file the utility library keeps for a name; removed after use.
class MutexFileRemover {
public:
    explicit MutexFileRemover(const std::string& mutexName)
        : mPath("/dev/shm/zorv-" + std::to_string(::geteuid()) + "/" + mutexName) {}
    ~MutexFileRemover() { ::unlink(mPath.c_str()); }

private:
    std::string mPath;
};

class LoggerTest : public ::testing::Test {
protected:
    void installShippedTable() {
        ::mkdir(mHome.dataHome().c_str(), 0700);
        ::mkdir(mHome.zorvDataDir().c_str(), 0700);
        zorvtest::writeFile(mHome.zorvDataDir() + "/ZorvErrorCodes.xml",
                            readFile(ZORV_SOURCE_DIR "/data/ZorvErrorCodes.xml"));
    }

    zorvtest::IsolatedHome mHome;
    zorvtest::TempDir mDir;
    std::string mName = uniqueName("logger");
    std::string mPath = mDir.file(mName);
    MutexFileRemover mMutexFile{mName + ".Mutex"};
};

} // namespace

TEST_F(LoggerTest, NullRecordCreatesNoMutexAndNoFile) {
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    logger.log(static_cast<ZorvLoggable*>(nullptr));
    EXPECT_EQ(nullptr, logger.mutex());
    EXPECT_FALSE(fileExists(mPath));
}

TEST_F(LoggerTest, NothingIsWrittenBeforeTheLoggerHasAFileName) {
    ZorvLogger logger;
    logger.startLogging();
    KeyValueRecord record("x", 1);
    logger.log(record);
    EXPECT_EQ(0, record.dumps());
    EXPECT_EQ("", s(logger.getLogFileName()));

    logger.setLogFileName(TStr(mPath));
    logger.log(record);
    EXPECT_EQ(1, record.dumps());
    EXPECT_EQ(1u, splitLines(readFile(mPath)).size());
}

TEST_F(LoggerTest, RecordWithoutSectionLeavesAnEmptyFile) {
    ZorvLogger logger{TStr(mPath)};
    KeyValueRecord record("x", 3);
    logger.log(record);
    EXPECT_EQ(1, record.dumps());
    EXPECT_EQ(0, fileSize(mPath));
}

TEST_F(LoggerTest, RecordsOfOneSectionCarryTheSameHeader) {
    ZorvLogger logger{TStr(mPath)};
    EXPECT_EQ("", s(logger.getHeader()));
    logger.startLogging();
    const std::string header = s(logger.getHeader());
    KeyValueRecord first("first", 2);
    KeyValueRecord second("second", 1);
    logger.log(first);
    logger.log(second);
    EXPECT_EQ(header + "\tline0=first\n" + header + "\tline1=first\n" + header + "\tline0=second\n",
              readFile(mPath));
}

TEST_F(LoggerTest, HeaderIsProcessDateAndTime) {
    ZorvLogger logger(false);
    logger.startLogging();
    std::vector<std::string> fields = splitFields(s(logger.getHeader()), '\t');
    ASSERT_EQ(3u, fields.size());
    EXPECT_EQ(std::to_string(::getpid()), fields[0]);
    EXPECT_TRUE(std::regex_match(fields[1], std::regex("[0-9]{4}/[0-9]{2}/[0-9]{2}"))) << fields[1];
    EXPECT_TRUE(std::regex_match(fields[2], std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}"))) << fields[2];

    logger.startLoggingWMilliSecs();
    fields = splitFields(s(logger.getHeader()), '\t');
    ASSERT_EQ(3u, fields.size());
    EXPECT_TRUE(std::regex_match(fields[2], std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}:[0-9]{3}")))
        << fields[2];
}

TEST_F(LoggerTest, EmptyFileNameKeepsTheCurrentOne) {
    ZorvLogger logger{TStr(mPath)};
    logger.setLogFileName(TStr());
    EXPECT_EQ(mPath, s(logger.getLogFileName()));
    const std::string other = mDir.file(uniqueName("other"));
    logger.setLogFileName(TStr(other));
    EXPECT_EQ(other, s(logger.getLogFileName()));
}

TEST_F(LoggerTest, ConstructorsLoadTheTableOnlyWhereAsked) {
    installShippedTable();
    const TStr kQet("ZorvQet");
    EXPECT_EQ(kQet, ZorvLogger().mErrorTable.GetVendorName(8));
    EXPECT_EQ(kQet, ZorvLogger(true).mErrorTable.GetVendorName(8));
    EXPECT_EQ("", s(ZorvLogger(false).mErrorTable.GetVendorName(8)));
    EXPECT_EQ("", s(ZorvLogger(TStr()).mErrorTable.GetVendorName(8)));
    EXPECT_EQ(kQet, ZorvLogger(TStr(mPath)).mErrorTable.GetVendorName(8));

    // A string literal is a file name, not a flag.
    ZorvLogger literal("/nonexistent/dir/app.log");
    EXPECT_EQ("/nonexistent/dir/app.log", s(literal.getLogFileName()));
    EXPECT_EQ(kQet, literal.mErrorTable.GetVendorName(8));
    EXPECT_EQ("", s(ZorvLogger(static_cast<const char*>(nullptr)).getLogFileName()));
}

TEST_F(LoggerTest, LoadErrorTableFollowsTheLocationsOfTheUtilityLibrary) {
    ZorvLogger logger(false);
    EXPECT_FALSE(logger.loadErrorTable()); // no table anywhere in the isolated home
    installShippedTable();
    EXPECT_TRUE(logger.loadErrorTable());
    EXPECT_EQ("ZorvFell", s(logger.mErrorTable.GetVendorName(10)));

    // A broken table found there leaves lookups empty.
    zorvtest::writeFile(mHome.zorvDataDir() + "/ZorvErrorCodes.xml", "<ERRORTABLES>");
    EXPECT_FALSE(logger.loadErrorTable());
    EXPECT_EQ("", s(logger.mErrorTable.GetVendorName(10)));
}

TEST_F(LoggerTest, DefaultLoggerLivesUntilClose) {
    ZorvLogger::close(); // nothing held: nothing happens
    ZorvLogger* logger = ZorvLogger::instance();
    ASSERT_NE(nullptr, logger);
    EXPECT_EQ(logger, ZorvLogger::instance());
    logger->setLogFileName(TStr(mPath));
    logger->startLogging();

    ZorvLogger::close();
    ZorvLogger::close();
    ZorvLogger* fresh = ZorvLogger::instance();
    EXPECT_EQ("", s(fresh->getLogFileName()));
    EXPECT_EQ("", s(fresh->getHeader()));
    ZorvLogger::close();
}

TEST_F(LoggerTest, SingletonLoggerIsSeparateAndEndsWithTheCleanUpManager) {
    installShippedTable();
    ZorvLogger* managed = ZorvLogger::instance_m();
    ASSERT_NE(nullptr, managed);
    EXPECT_EQ(managed, ZorvLogger::instance_m());
    // A client calling the template itself reaches the library's object.
    EXPECT_EQ(managed, CZorvUtilSingleton<ZorvLogger>::instance());
    EXPECT_NE(managed, ZorvLogger::instance());
    EXPECT_EQ("ZorvQet", s(managed->mErrorTable.GetVendorName(8)));

    managed->setLogFileName(TStr(mPath));
    ZorvLogger::close();
    EXPECT_EQ(mPath, s(ZorvLogger::instance_m()->getLogFileName()));

    CZorvUtilObjectManager::runCleanups();
    EXPECT_EQ(nullptr, CZorvUtilSingleton<ZorvLogger>::instance_i());
    EXPECT_EQ("", s(ZorvLogger::instance_m()->getLogFileName()));
}

TEST_F(LoggerTest, MutexIsNamedAfterTheLastPathComponent) {
    std::vector<std::string> journal;
    ProbeLogger a{TStr("/tmp/a/ZorvDebug.log")};
    ProbeLogger b{TStr("/var/b/ZorvDebug.log")};
    ProbeLogger bare{TStr("ZorvDebug.log")};
    for (ProbeLogger* logger : {&a, &b, &bare}) {
        logger->mutex() = new JournalMutex(journal, true);
        EXPECT_TRUE(logger->initSynchronizeObject());
    }
    EXPECT_EQ(std::vector<std::string>(3, "create ZorvDebug.log.Mutex"), journal);

    journal.clear();
    ProbeLogger directory{TStr("/tmp/a/")};
    directory.mutex() = new JournalMutex(journal, true);
    EXPECT_FALSE(directory.initSynchronizeObject());
    ProbeLogger noMutex{TStr(mPath)};
    EXPECT_FALSE(noMutex.initSynchronizeObject());
    EXPECT_EQ(std::vector<std::string>(), journal);
}

TEST_F(LoggerTest, RecordIsWrittenInsideTheLockAndTheMutexIsGoneAfterwards) {
    std::vector<std::string> journal;
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    logger.mutex() = new JournalMutex(journal, true);
    JournalRecord record(journal);
    logger.log(record);
    EXPECT_EQ((std::vector<std::string>{"create " + mName + ".Mutex", "lock 10000", "dump",
                                        "unlock", "deleted"}),
              journal);
    EXPECT_EQ(nullptr, logger.mutex());
    EXPECT_EQ(1u, splitLines(readFile(mPath)).size());
}

TEST_F(LoggerTest, MutexThatCannotBeCreatedStillLetsTheRecordThrough) {
    std::vector<std::string> journal;
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    logger.mutex() = new JournalMutex(journal, false);
    JournalRecord record(journal);
    logger.log(record);
    EXPECT_EQ((std::vector<std::string>{"create " + mName + ".Mutex", "dump", "deleted"}), journal);
    EXPECT_EQ(1u, splitLines(readFile(mPath)).size());
}

TEST_F(LoggerTest, FileThatCannotBeOpenedDropsTheRecordAndReleasesTheMutex) {
    std::vector<std::string> journal;
    ProbeLogger logger{TStr(mDir.file("missing/dir/" + mName))};
    logger.startLogging();
    logger.mutex() = new JournalMutex(journal, true);
    JournalRecord record(journal);
    logger.log(record);
    EXPECT_EQ(
        (std::vector<std::string>{"create " + mName + ".Mutex", "lock 10000", "unlock", "deleted"}),
        journal);
    EXPECT_EQ(nullptr, logger.mutex());
}

TEST_F(LoggerTest, ThrowingRecordLeavesFileClosedAndMutexReleased) {
    ProbeLogger logger{TStr(mPath)};
    logger.startLogging();
    ThrowingRecord bad;
    EXPECT_THROW(logger.log(bad), std::runtime_error);
    EXPECT_EQ(nullptr, logger.mutex());
    // Closed: the line written before the throw has reached the file.
    EXPECT_EQ(1u, splitLines(readFile(mPath)).size());
    // Released: another holder gets the named mutex at once.
    ZorvMutex other;
    ASSERT_TRUE(other.create(TStr(mName + ".Mutex")));
    EXPECT_TRUE(other.tryLock());
    other.unlock();

    KeyValueRecord good("after", 1);
    logger.log(good);
    const std::vector<std::string> lines = splitLines(readFile(mPath));
    ASSERT_EQ(2u, lines.size());
    EXPECT_NE(std::string::npos, lines[1].find("line0=after"));
}

TEST_F(LoggerTest, ReferenceFormGoesThroughTheOverriddenPointerForm) {
    CountingLogger logger;
    KeyValueRecord record("x", 1);
    logger.log(static_cast<const ZorvLoggable&>(record));
    EXPECT_EQ(1, logger.calls);
    EXPECT_EQ(0, record.dumps());
}

namespace {

// Writes records whose lines are each larger than the stream's buffer, with a
// pause between lines, so that without the named mutex the lines of two
// processes would interleave.
class SlowWideRecord : public ZorvLoggable {
public:
    explicit SlowWideRecord(const std::string& tag) : ZorvLoggable(TStr()), mTag(tag) {}
    void dumpTechSupport(ZorvLogger* logger) const override {
        const std::string padding(20000, 'p');
        for (int i = 0; i < kLines; ++i) {
            logger->mLogFile.write(TStr("line" + std::to_string(i)), TStr(mTag + padding));
            ::usleep(500);
        }
    }
    static constexpr int kLines = 4;

private:
    std::string mTag;
};

} // namespace

TEST_F(LoggerTest, NamedMutexKeepsTheRecordsOfTwoProcessesApart) {
    constexpr int kRecords = 25;
    int gate[2];
    ASSERT_EQ(0, ::pipe(gate));
    std::vector<pid_t> children;
    for (const char* tag : {"A", "B"}) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            ::close(gate[1]);
            char go;
            // Both start together once the parent closes the gate.
            if (::read(gate[0], &go, 1) < 0) {
                ::_exit(2);
            }
            ZorvLogger logger(false);
            logger.setLogFileName(TStr(mPath));
            logger.startLogging();
            SlowWideRecord record(tag);
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
    ASSERT_EQ(2u * kRecords * SlowWideRecord::kLines, lines.size());
    // Every record is its lines line0..line3 in a row, all of one process.
    for (std::size_t i = 0; i < lines.size(); i += SlowWideRecord::kLines) {
        const std::vector<std::string> first = splitFields(lines[i], '\t');
        ASSERT_EQ(4u, first.size()) << "line " << i;
        const std::string process = first[0];
        const char tag = first[3].substr(std::string("line0=").size(), 1)[0];
        for (int k = 0; k < SlowWideRecord::kLines; ++k) {
            const std::vector<std::string> fields = splitFields(lines[i + k], '\t');
            ASSERT_EQ(4u, fields.size()) << "line " << i + k;
            EXPECT_EQ(process, fields[0]) << "line " << i + k;
            const std::string expected = "line" + std::to_string(k) + "=" + tag;
            EXPECT_EQ(expected, fields[3].substr(0, expected.size())) << "line " << i + k;
            EXPECT_EQ(expected.size() + 20000, fields[3].size()) << "line " << i + k;
        }
    }
}
