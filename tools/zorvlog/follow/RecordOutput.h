#ifndef ZORVLOG_RECORDOUTPUT_H
#define ZORVLOG_RECORDOUTPUT_H

#include <string>
#include <string_view>

namespace zorvlog {

struct LogEntry;

// Where follow hands its records: standard output, or the journal. The
// follower's loop offers the records of one batch one by one with take(),
// then calls handOver(); the state moves past a record only once take()
// accepted it and the handOver() after it returned true. So an output that
// cannot take a record now (a collector that is down) loses nothing: the loop
// keeps its position there and offers the record again later.
class RecordOutput {
public:
    virtual ~RecordOutput() = default;

    // Offers one record (source: the LOGFILE as the user named it; key: the
    // record's key, as --json prints it). False: not taken, and nothing more
    // is offered in this batch; why() says what stands in the way.
    virtual bool take(const LogEntry& entry, std::string_view source, std::string_view key) = 0;

    // Hands over every record taken since the last call. False: they were not
    // all handed over, and the state must not move past them; why() says why.
    virtual bool handOver() = 0;

    // What stood in the way at the last false, in words for a person.
    virtual std::string why() const = 0;
};

} // namespace zorvlog

#endif
