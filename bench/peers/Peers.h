#ifndef ZORV_PEERS_H
#define ZORV_PEERS_H

// The peer libraries, each set up for the same guarantee we give where it can
// be had: every record on disk when the call returns, lines of the same shape
// as ours (pid, date, time, component, message, each followed by a tab). A
// peer that was not found at build time yields a null logger.

#include <memory>
#include <string>

namespace zorvpeers {

class PeerLogger {
public:
    virtual ~PeerLogger() = default;
    virtual const char* name() const = 0;
    // One record at the level the logger is set to write.
    virtual void logRecord() = 0;
    // One statement below the logger's level: it must write nothing.
    virtual void logDisabled() = 0;
};

// spdlog: a basic file sink, flushed after every message.
std::unique_ptr<PeerLogger> makeSpdlogPeer(const std::string& path);
// log4cplus: a FileAppender with UseLockFile=true and ImmediateFlush=true.
std::unique_ptr<PeerLogger> makeLog4cplusPeer(const std::string& path);

bool haveSpdlog();
bool haveLog4cplus();

} // namespace zorvpeers

#endif
