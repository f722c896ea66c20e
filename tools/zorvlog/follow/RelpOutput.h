#ifndef ZORVLOG_RELPOUTPUT_H
#define ZORVLOG_RELPOUTPUT_H

#include "follow/LogFollow.h"
#include "follow/RecordOutput.h"
#include "follow/RelpClient.h"
#include "read/SectionTime.h"

#include <deque>
#include <functional>
#include <map>
#include <string>
#include <unordered_set>

namespace zorvlog {

// A RELP collector as follow's output: each record one RFC 5424 message,
//   <PRI>1 TIMESTAMP HOST zorvlog PROCID KIND - JSON
// PRI the facility user with the record's severity, TIMESTAMP when follow
// sent it (UTC), HOST this machine's name, PROCID the writer's process id
// ("-" for a line of text), the MSGID the record's kind as --json names it,
// and MSG the record's line exactly as --json prints it, key included.
//
// take() sends at once; at most kWindow records wait for their
// acknowledgement, and handOver() is true only once the collector
// acknowledged every record taken since the last hand-over. A broken
// session loses nothing: the loop offers the records again, and those the
// collector had acknowledged already (remembered by key) are not sent again.
class RelpOutput : public RecordOutput {
public:
    // As many as a batch holds: neither a broken session nor a killed
    // follower sends more than one window again.
    static constexpr std::size_t kWindow = LogFollow::kBatchRecords;

    // stopFd and whileWaiting as RelpClient has them. Throws RelpTrustError
    // when the TLS files cannot be used.
    RelpOutput(const RelpSettings& settings, int stopFd, std::function<void()> whileWaiting);

    bool take(const LogEntry& entry, std::string_view source, std::string_view key) override;
    bool handOver() override;
    std::string why() const override { return mWhy; }

private:
    // Collects replies until no more than `most` records await theirs.
    bool settle(std::size_t most);
    bool failed(RelpClient::Outcome outcome);
    void acknowledged(const std::string& key);
    void message(const LogEntry& entry, std::string_view source, std::string_view key);

    RelpClient mClient;
    std::map<unsigned, std::string> mWaiting; // transaction number -> key
    // Keys of the last acknowledged records, so that a record offered again
    // after a broken session is not sent twice.
    std::unordered_set<std::string> mAcknowledged;
    std::deque<std::string> mAcknowledgedOrder;
    bool mLost = false; // records taken since the last hand-over were lost
    std::string mHost, mMessage, mWhy;
    SectionClock mClock;
};

} // namespace zorvlog

#endif
