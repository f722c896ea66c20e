#include "follow/JournalOutput.h"

#include "LineFormat.h"
#include "output/EntryFormat.h"
#include "read/LogEntry.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
// CODE_FILE and CODE_LINE are the record's, not this file's.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>
#include <thread>

namespace zorvlog {

namespace {

// Gathers the text parse prints for an entry.
class StringSink : public TextSink {
public:
    std::string text;

protected:
    void write(const char* data, std::size_t size) override { text.append(data, size); }
};

std::string field(const char* name, std::string_view value) {
    std::string text(name);
    text += '=';
    text.append(value.data(), value.size());
    return text;
}

// The row parse prints, cut at a character's start when it is longer than
// max bytes.
std::string summary(const LogEntry& entry, std::size_t max) {
    StringSink sink;
    writeEntryRow(sink, entry);
    sink.flush();
    if (sink.text.size() > max) {
        std::size_t cut = max;
        while (cut > 0 && (static_cast<unsigned char>(sink.text[cut]) & 0xc0) == 0x80) {
            --cut;
        }
        sink.text.resize(cut);
        sink.text += " (cut)";
    }
    return std::move(sink.text);
}

// Where libsystemd sends entries: a fixed path, whatever the environment.
const char* const kJournalSocket = "/run/systemd/journal/socket";

// Whether journald's socket is there. sd_journal_sendv reports success when
// it is not (it drops the entry on ENOENT), so the follower asks the file
// system itself, before the send and after it: an entry that may have gone
// nowhere is sent again (same key) rather than counted as delivered.
bool socketThere() {
    struct stat st;
    return ::stat(kJournalSocket, &st) == 0 && S_ISSOCK(st.st_mode);
}

// One entry to journald; -ENOENT when its socket is missing.
int send(std::vector<struct iovec>& parts) {
    if (!socketThere()) {
        return -ENOENT;
    }
    const int result = ::sd_journal_sendv(parts.data(), static_cast<int>(parts.size()));
    return result == 0 && !socketThere() ? -ENOENT : result;
}

} // namespace

// The send in flight and the thread that makes it. Shared with that thread,
// which may outlive the output when a send hangs at the end.
struct JournalOutput::Worker {
    std::mutex mutex;
    std::condition_variable changed;
    bool quit = false;
    bool busy = false; // a record was handed to the thread and not yet collected
    bool done = false; // its send returned
    int result = 0;    // what sd_journal_sendv returned
    std::string key;
    std::vector<std::string> fields;
    std::thread thread;

    static void run(const std::shared_ptr<Worker>& self) {
        std::unique_lock<std::mutex> lock(self->mutex);
        for (;;) {
            self->changed.wait(lock, [&] { return self->quit || (self->busy && !self->done); });
            if (self->quit) {
                return;
            }
            std::vector<struct iovec> parts;
            for (std::string& text : self->fields) {
                parts.push_back({text.data(), text.size()});
            }
            lock.unlock();
            const int result = send(parts);
            lock.lock();
            self->result = result;
            self->done = true;
            self->changed.notify_all();
        }
    }
};

JournalOutput::JournalOutput() : mWorker(std::make_shared<Worker>()) {
    // The signals belong to the loop's thread, whose pauses they end.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    std::shared_ptr<Worker> worker = mWorker;
    mWorker->thread = std::thread([worker] { Worker::run(worker); });
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

JournalOutput::~JournalOutput() {
    std::unique_lock<std::mutex> lock(mWorker->mutex);
    mWorker->quit = true;
    mWorker->changed.notify_all();
    const bool hanging = mWorker->busy && !mWorker->done;
    lock.unlock();
    // A send that hangs on a stopped journald would keep follow from ending;
    // the record was not taken, so the state still stands before it.
    if (hanging) {
        mWorker->thread.detach();
    } else {
        mWorker->thread.join();
    }
}

bool JournalOutput::take(const LogEntry& entry, std::string_view source, std::string_view key) {
    Worker& worker = *mWorker;
    std::unique_lock<std::mutex> lock(worker.mutex);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kSendWaitMs);
    if (worker.busy && worker.key != key) {
        // Another record is in flight: it has to end before this one goes.
        if (!worker.changed.wait_until(lock, until, [&] { return worker.done; })) {
            mWhy = "the journal takes nothing (is journald stopped?)";
            return false;
        }
        worker.busy = false;
    }
    if (!worker.busy) {
        worker.key.assign(key.data(), key.size());
        worker.fields = fields(entry, source, key);
        worker.busy = true;
        worker.done = false;
        worker.changed.notify_all();
    }
    if (!worker.changed.wait_until(lock, until, [&] { return worker.done; })) {
        mWhy = "the journal takes nothing (is journald stopped?)";
        return false;
    }
    worker.busy = false;
    worker.fields.clear();
    if (worker.result == -ENOENT) {
        mWhy = std::string("the journal's socket ") + kJournalSocket +
               " is not there (is journald running?)";
        return false;
    }
    if (worker.result < 0) {
        mWhy = std::string("cannot send to the journal: ") + std::strerror(-worker.result);
        return false;
    }
    return true;
}

std::vector<std::string> JournalOutput::fields(const LogEntry& entry, std::string_view source,
                                               std::string_view key) {
    std::vector<std::string> out;
    out.push_back(field("MESSAGE", summary(entry, kMessageMax)));
    out.push_back(field("PRIORITY", std::to_string(entryPriority(entry.kind))));
    std::string_view vendorId, vendor;
    if (entry.kind == LogEntry::kError) {
        zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorId), vendorId, vendor);
    } else if (entry.kind == LogEntry::kDebug && entry.itemCount() > zorv_detail::kDebugComponent) {
        vendor = entry.item(zorv_detail::kDebugComponent);
    } else if (entry.kind == LogEntry::kPerf &&
               entry.itemCount() == zorv_detail::kPerfColumnCount &&
               entry.item(zorv_detail::kPerfComponent) != zorv_detail::kNotAvailable) {
        vendor = entry.item(zorv_detail::kPerfComponent);
    }
    out.push_back(field("SYSLOG_IDENTIFIER", vendor.empty() ? std::string_view("zorv") : vendor));
    if (entry.kind != LogEntry::kText) {
        out.push_back(field("SYSLOG_PID", entry.pid()));
    }
    out.push_back(field("ZORV_KIND", entryKindName(entry.kind)));
    if (entry.kind != LogEntry::kText) {
        out.push_back(field("ZORV_DATE", entry.date()));
        out.push_back(field("ZORV_TIME", entry.time()));
    }
    if (!vendorId.empty()) {
        out.push_back(field("ZORV_VENDOR_ID", vendorId));
    }
    if (!vendor.empty()) {
        out.push_back(field("ZORV_VENDOR", vendor));
    }
    if (entry.kind == LogEntry::kError) {
        std::string_view code, description;
        const bool described = zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorError),
                                                           code, description);
        out.push_back(field("ZORV_ERROR_CODE", code));
        if (described) {
            out.push_back(field("ZORV_ERROR", description));
        }
        if (entry.hasReason) {
            out.push_back(field("ZORV_REASON", entry.value(0)));
        }
        out.push_back(field("CODE_FILE", entry.errorValue(LogEntry::kFile)));
        out.push_back(field("CODE_LINE", entry.errorValue(LogEntry::kLine)));
        out.push_back(field("ZORV_HOST", entry.errorValue(LogEntry::kComputerName)));
    }
    out.push_back(field("ZORV_LOG", source));
    out.push_back(field("ZORV_KEY", key));
    std::string lines = field("ZORV_LINES", entry.text);
    lines += '\n';
    out.push_back(std::move(lines));
    if (entry.truncated) {
        out.push_back(field("ZORV_TRUNCATED", "1"));
    }
    return out;
}

} // namespace zorvlog
