#include "follow/RelpOutput.h"

#include "output/EntryFormat.h"
#include "output/TextSink.h"
#include "read/LogEntry.h"

#include <climits>
#include <ctime>
#include <unistd.h>

namespace zorvlog {

namespace {

const int kFacilityUser = 1;
const std::size_t kWriteBlock = 64 * 1024;

// A header field: printable ASCII without spaces, at most max bytes; "-"
// when nothing is left.
std::string headerField(std::string_view text, std::size_t max) {
    std::string field;
    for (char c : text.substr(0, max)) {
        field += c > ' ' && c < 127 ? c : '_';
    }
    return field.empty() ? "-" : field;
}

std::string thisHost() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0) {
        return "-";
    }
    return headerField(name, 255);
}

void appendTimestamp(std::string& to) {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    struct tm utc;
    ::gmtime_r(&now.tv_sec, &utc);
    char text[40];
    const std::size_t size = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    to.append(text, size);
    std::snprintf(text, sizeof text, ".%06ldZ", now.tv_nsec / 1000);
    to += text;
}

} // namespace

RelpOutput::RelpOutput(const RelpSettings& settings, int stopFd, std::function<void()> whileWaiting)
    : mClient(settings, stopFd, std::move(whileWaiting)), mHost(thisHost()) {}

bool RelpOutput::take(const LogEntry& entry, std::string_view source, std::string_view key) {
    std::string keyText(key);
    if (mAcknowledged.count(keyText) != 0) {
        return true;
    }
    if (!mClient.isOpen()) {
        const RelpClient::Outcome opened = mClient.open();
        if (opened != RelpClient::Outcome::kDone) {
            return failed(opened);
        }
    }
    message(entry, source, key);
    mWaiting.emplace(mClient.post("syslog", mMessage), std::move(keyText));
    if (mMessage.capacity() > (1u << 20)) {
        std::string().swap(mMessage);
    }
    // Written a block at a time, not a record at a time; handOver() writes
    // the rest.
    if (mClient.unsent() < kWriteBlock && mWaiting.size() < kWindow) {
        return true;
    }
    return settle(kWindow - 1);
}

bool RelpOutput::handOver() {
    if (!settle(0) || mLost) {
        mLost = false;
        return false;
    }
    return true;
}

bool RelpOutput::failed(RelpClient::Outcome outcome) {
    mWhy = mClient.why();
    if (outcome == RelpClient::Outcome::kStopped) {
        // Whatever the collector still owes is not waited for.
        mClient.drop();
    }
    mLost = mLost || !mWaiting.empty();
    mWaiting.clear();
    return false;
}

bool RelpOutput::settle(std::size_t most) {
    std::vector<RelpClient::Reply> replies;
    bool wait = false;
    for (;;) {
        // What is queued belongs to records that wait.
        if (mWaiting.empty()) {
            return true;
        }
        replies.clear();
        const RelpClient::Outcome outcome = mClient.exchange(wait, replies);
        for (const RelpClient::Reply& reply : replies) {
            const auto waiting = mWaiting.find(reply.txnr);
            if (waiting == mWaiting.end()) {
                continue;
            }
            if (reply.code != 200) {
                mClient.drop();
                mWaiting.erase(waiting);
                failed(RelpClient::Outcome::kBroken);
                mWhy = "the collector refused a record: " + std::to_string(reply.code) + " " +
                       reply.text;
                return false;
            }
            acknowledged(waiting->second);
            mWaiting.erase(waiting);
        }
        if (outcome != RelpClient::Outcome::kDone) {
            return failed(outcome);
        }
        if (mWaiting.size() <= most) {
            return true;
        }
        wait = true;
    }
}

void RelpOutput::acknowledged(const std::string& key) {
    mAcknowledged.insert(key);
    mAcknowledgedOrder.push_back(key);
    if (mAcknowledgedOrder.size() > 2 * kWindow) {
        mAcknowledged.erase(mAcknowledgedOrder.front());
        mAcknowledgedOrder.pop_front();
    }
}

void RelpOutput::message(const LogEntry& entry, std::string_view source, std::string_view key) {
    mMessage.clear();
    mMessage += '<';
    mMessage += std::to_string(kFacilityUser * 8 + entryPriority(entry.kind));
    mMessage += ">1 ";
    appendTimestamp(mMessage);
    mMessage += ' ';
    mMessage += mHost;
    mMessage += " zorvlog ";
    const std::string_view pid = entry.kind == LogEntry::kText ? std::string_view() : entry.pid();
    mMessage += headerField(pid, 128);
    mMessage += ' ';
    mMessage += entryKindName(entry.kind);
    mMessage += " - ";
    StringSink sink(mMessage);
    writeEntryJson(sink, entry, source, mClock, key);
    sink.flush();
}

} // namespace zorvlog
