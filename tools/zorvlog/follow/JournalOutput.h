#ifndef ZORVLOG_JOURNALOUTPUT_H
#define ZORVLOG_JOURNALOUTPUT_H

#include "follow/RecordOutput.h"

#include <memory>
#include <string>
#include <string_view>
#include <sys/uio.h>
#include <vector>

namespace zorvlog {

// The systemd journal as follow's output: each record one entry, sent with
// sd_journal_sendv, carrying the record's parts as fields (docs/zorvlog.md
// lists them).
//
// The journal's socket is a blocking datagram socket: a journald that is
// stopped, not gone, leaves a send hanging once its queue is full. So the
// send runs on a worker thread of its own, and take() waits for it only
// kSendWaitMs; a send still going on then stays in flight, and take() says
// false. The loop offers the same record again later: take() then waits for
// that same send instead of sending the record a second time, and says true
// once it went through. A record whose send failed outright (journald not
// there) is sent anew at the next offer.
class JournalOutput : public RecordOutput {
public:
    // How long take() waits for one send before it hands the decision back to
    // the loop, which checks for a stop signal in between.
    static constexpr int kSendWaitMs = 250;
    // MESSAGE carries the record as parse shows it, cut to this many bytes;
    // ZORV_LINES always carries the whole record.
    static constexpr std::size_t kMessageMax = 64 * 1024;

    JournalOutput();
    ~JournalOutput() override;
    JournalOutput(const JournalOutput&) = delete;
    JournalOutput& operator=(const JournalOutput&) = delete;

    bool take(const LogEntry& entry, std::string_view source, std::string_view key) override;
    bool handOver() override { return true; }
    std::string why() const override { return mWhy; }

    // The entry's fields as "NAME=value" strings, in the order they are sent.
    static std::vector<std::string> fields(const LogEntry& entry, std::string_view source,
                                           std::string_view key);

    struct Worker;

private:
    std::shared_ptr<Worker> mWorker;
    std::string mWhy;
};

} // namespace zorvlog

#endif
