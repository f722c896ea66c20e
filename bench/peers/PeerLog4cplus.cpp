#include "PeerHarness.h"
#include "Peers.h"

#ifdef ZORV_HAVE_LOG4CPLUS
#include <log4cplus/fileappender.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/initializer.h>
#include <log4cplus/layout.h>
#include <log4cplus/logger.h>
#include <log4cplus/loggingmacros.h>

#include <atomic>
#endif

namespace zorvpeers {

#ifdef ZORV_HAVE_LOG4CPLUS

namespace {

// log4cplus wants its library state set up once per process before the
// first logger; a child forked by the process runner sets up its own.
void initializeOnce() {
    static log4cplus::Initializer initializer;
}

// The closest peer in guarantees: several processes may share the file
// (UseLockFile takes an inter-process lock around each append) and every
// record is flushed to the file before the call returns.
class Log4cplusPeer : public PeerLogger {
public:
    explicit Log4cplusPeer(const std::string& path) {
        initializeOnce();
        static std::atomic<int> serial{0};
        log4cplus::helpers::Properties props;
        props.setProperty(LOG4CPLUS_TEXT("File"), path);
        props.setProperty(LOG4CPLUS_TEXT("Append"), LOG4CPLUS_TEXT("true"));
        props.setProperty(LOG4CPLUS_TEXT("ImmediateFlush"), LOG4CPLUS_TEXT("true"));
        props.setProperty(LOG4CPLUS_TEXT("UseLockFile"), LOG4CPLUS_TEXT("true"));
        props.setProperty(LOG4CPLUS_TEXT("LockFile"), path + ".lock");
        mAppender =
            log4cplus::SharedAppenderPtr(new log4cplus::FileAppender(props, std::ios_base::app));
        // The same fields as our debug line; %D is local time, as ours is.
        mAppender->setLayout(std::unique_ptr<log4cplus::Layout>(
            new log4cplus::PatternLayout(LOG4CPLUS_TEXT("%i\t%D{%Y/%m/%d\t%H:%M:%S}\t%m%n"))));
        // A logger of its own per peer object, so that two peers in one
        // process never write through each other's appender.
        mLogger = log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("zorv.peers.") +
                                                 std::to_string(serial.fetch_add(1)));
        mLogger.setAdditivity(false);
        mLogger.removeAllAppenders();
        mLogger.addAppender(mAppender);
        mLogger.setLogLevel(log4cplus::INFO_LOG_LEVEL);
    }
    ~Log4cplusPeer() override {
        mLogger.removeAllAppenders();
        mAppender->close();
    }
    const char* name() const override { return "log4cplus"; }
    void logRecord() override { LOG4CPLUS_INFO(mLogger, kComponent << '\t' << kMessage << '\t'); }
    void logDisabled() override {
        LOG4CPLUS_DEBUG(mLogger, kComponent << '\t' << kMessage << '\t');
    }

private:
    log4cplus::SharedAppenderPtr mAppender;
    log4cplus::Logger mLogger;
};

} // namespace

std::unique_ptr<PeerLogger> makeLog4cplusPeer(const std::string& path) {
    return std::make_unique<Log4cplusPeer>(path);
}

bool haveLog4cplus() {
    return true;
}

#else

std::unique_ptr<PeerLogger> makeLog4cplusPeer(const std::string&) {
    return nullptr;
}

bool haveLog4cplus() {
    return false;
}

#endif

} // namespace zorvpeers
