#include "RecordGrouper.h"

#include "LineFormat.h"

#include <cstring>
#include <iterator>

namespace zorvlog {

namespace {

// Where the payload starts after the section at the start of the line (the
// library's line format, read leniently), or 0 when the line has none.
std::size_t matchSection(const std::string& line, LogEntry& entry, char& separator) {
    zorv_detail::SectionMatch section;
    if (!zorv_detail::matchSection(line, section)) {
        return 0;
    }
    entry.pid = section.pid;
    entry.date = section.date;
    entry.time = section.time;
    separator = section.separator;
    return section.payload;
}

std::vector<std::string> splitAt(const std::string& text, std::size_t from, std::size_t to,
                                 char separator) {
    std::vector<std::string> pieces;
    for (;;) {
        const void* found = std::memchr(text.data() + from, separator, to - from);
        const std::size_t end =
            found == nullptr
                ? to
                : static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
        pieces.push_back(text.substr(from, end - from));
        if (end == to) {
            return pieces;
        }
        from = end + 1;
    }
}

// A value longer than this is moved out of the payload, not copied: a record
// of 16 MiB is then held once, not twice.
const std::size_t kMovedValue = 64 * 1024;

// The payload from `from` on, taken: moved when long.
std::string takeRest(std::string& payload, std::size_t from, std::size_t end) {
    if (end - from < kMovedValue || end != payload.size()) {
        return payload.substr(from, end - from);
    }
    payload.erase(0, from);
    return std::move(payload);
}

// A piece without "=" cannot be a pair of its own: it is the rest of the
// previous value after a comma that the value held. The payload is used up.
void splitPairs(std::string& payload, LogEntry& entry) {
    const std::size_t size = payload.size();
    for (std::size_t from = 0;;) {
        const char* text = payload.data();
        const void* comma = std::memchr(text + from, ',', size - from);
        const std::size_t end =
            comma == nullptr ? size
                             : static_cast<std::size_t>(static_cast<const char*>(comma) - text);
        const void* eq = std::memchr(text + from, '=', end - from);
        if (eq == nullptr && !entry.pairs.empty()) {
            entry.pairs.back().second.append(",").append(payload, from, end - from);
        } else if (eq == nullptr) {
            entry.pairs.emplace_back(payload.substr(from, end - from), "");
        } else {
            const std::size_t at = static_cast<std::size_t>(static_cast<const char*>(eq) - text);
            std::string key = payload.substr(from, at - from);
            entry.pairs.emplace_back(std::move(key), takeRest(payload, at + 1, end));
        }
        if (end == size) {
            return;
        }
        from = end + 1;
    }
}

// The payload is used up.
void classify(std::string& payload, char separator, LogEntry& entry) {
    const bool items = !payload.empty() && payload.back() == separator;
    const std::size_t body = items ? payload.size() - 1 : payload.size();
    if (separator == ',') {
        entry.kind = LogEntry::kPerf;
        entry.items = splitAt(payload, 0, body, ',');
    } else if (items) {
        // A component name never holds a tab, so every further tab belongs
        // to the message.
        entry.kind = LogEntry::kDebug;
        std::string::size_type tab = payload.find('\t');
        if (tab >= body) {
            tab = body;
        }
        entry.items.push_back(payload.substr(0, tab));
        payload.resize(body);
        entry.items.push_back(tab == body ? std::string() : takeRest(payload, tab + 1, body));
    } else {
        entry.kind = LogEntry::kPairs;
        splitPairs(payload, entry);
    }
}

// The bytes of an entry's values.
std::size_t sizeOf(const LogEntry& entry) {
    std::size_t size = entry.text.size();
    for (const auto& pair : entry.pairs) {
        size += pair.first.size() + pair.second.size();
    }
    for (const std::string& item : entry.items) {
        size += item.size();
    }
    return size;
}

bool sameSection(const LogEntry& a, const LogEntry& b) {
    return a.pid == b.pid && a.date == b.date && a.time == b.time;
}

bool singlePair(const LogEntry& e, const std::string& key) {
    return e.kind == LogEntry::kPairs && e.pairs.size() == 1 && e.pairs[0].first == key;
}

bool fileAndLine(const LogEntry& e) {
    return e.kind == LogEntry::kPairs && e.pairs.size() == 2 && e.pairs[0].first == "File" &&
           e.pairs[1].first == "Line";
}

enum class Match { kNeedMore, kNone, kRecord };

// Whether the held entries start with the lines of one error record:
// [Reason] ComputerName OS File,Line VendorID VendorError [vendor name=version],
// all under one section. Settled as soon as the entries held decide it; at
// the end of the input (final) what is missing is missing.
Match matchRecord(const std::vector<LogEntry>& held, bool final, std::size_t& count,
                  bool& hasReason, bool& hasVersion) {
    const LogEntry& first = held[0];
    if (first.kind != LogEntry::kPairs) {
        return Match::kNone;
    }
    std::size_t i = 0;
    hasReason = singlePair(first, "Reason");
    if (hasReason) {
        ++i;
    }
    const std::string* name = nullptr;
    std::string id, vendorName;
    for (int step = 0; step < 5; ++step, ++i) {
        if (i >= held.size()) {
            return final ? Match::kNone : Match::kNeedMore;
        }
        const LogEntry& e = held[i];
        static const char* const kKeys[] = {"ComputerName", "OS", nullptr, "VendorID",
                                            "VendorError"};
        bool fits = sameSection(e, first) &&
                    (kKeys[step] != nullptr ? singlePair(e, kKeys[step]) : fileAndLine(e));
        if (!fits) {
            return Match::kNone;
        }
        if (step == 3 && splitDescribed(e.pairs[0].second, id, vendorName) && !vendorName.empty()) {
            name = &vendorName;
        }
    }
    hasVersion = false;
    if (name != nullptr) {
        if (i >= held.size()) {
            if (!final) {
                return Match::kNeedMore;
            }
        } else if (sameSection(held[i], first) && singlePair(held[i], *name)) {
            hasVersion = true;
            ++i;
        }
    }
    count = i;
    return Match::kRecord;
}

} // namespace

bool splitDescribed(const std::string& value, std::string& text, std::string& description) {
    std::string::size_type open = value.find(" [");
    if (open == std::string::npos || value.empty() || value.back() != ']') {
        text = value;
        description.clear();
        return false;
    }
    text = value.substr(0, open);
    description = value.substr(open + 2, value.size() - open - 3);
    return true;
}

bool startsWithSection(const std::string& line) {
    LogEntry entry;
    char separator = 0;
    return matchSection(line, entry, separator) != 0;
}

RecordGrouper::RecordGrouper(Sink sink, std::uint64_t firstLine)
    : mSink(std::move(sink)), mNextLine(firstLine) {}

void RecordGrouper::addLine(LogInput::Line& line) {
    const std::uint64_t number = mNextLine++;
    if (line.text.empty() && !line.cut) {
        ++mBlank;
        return;
    }
    LogEntry entry;
    char separator = 0;
    std::size_t payload = matchSection(line.text, entry, separator);
    if (payload == 0 && mOpen) {
        // The tail of a value that held a line break: the joined text is
        // split as one line, so the break lands inside that value.
        const std::string breaks(mBlank + 1, '\n');
        mBlank = 0;
        appendPayload(breaks.data(), breaks.size());
        appendPayload(line.text.data(), line.text.size());
        mOpenEntry.truncated = mOpenEntry.truncated || line.cut;
        mOpenEntry.lastLine = number;
        mOpenEntry.endOffset = line.end;
        mOpenEntry.endCrc = line.crc;
        return;
    }
    mBlank = 0;
    closeOpen();
    entry.firstLine = entry.lastLine = number;
    entry.offset = line.offset;
    entry.endOffset = line.end;
    entry.endCrc = line.crc;
    entry.truncated = line.cut;
    mOpenEntry = std::move(entry);
    if (line.text.size() - payload >= kMovedValue && mHeldBytes == 0) {
        // A long line is taken over, not copied.
        mPayload = std::move(line.text);
        mPayload.erase(0, payload);
        line.text.clear();
    } else {
        mPayload.clear();
        appendPayload(line.text.data() + payload, line.text.size() - payload);
    }
    if (payload != 0) {
        mOpen = true;
        mSeparator = separator;
        return;
    }
    // No section and nothing to continue: a line of text of its own.
    mOpenEntry.kind = LogEntry::kText;
    mOpenEntry.text = std::move(mPayload);
    mPayload = std::string();
    hold();
}

void RecordGrouper::appendPayload(const char* text, std::size_t size) {
    const std::size_t used = mHeldBytes + mPayload.size();
    const std::size_t room = used < kMaxRecord ? kMaxRecord - used : 0;
    mPayload.append(text, size < room ? size : room);
    if (size > room) {
        mOpenEntry.truncated = true;
    }
}

void RecordGrouper::finish() {
    mBlank = 0;
    closeOpen();
    settle(true);
}

void RecordGrouper::closeOpen() {
    if (!mOpen) {
        return;
    }
    mOpen = false;
    classify(mPayload, mSeparator, mOpenEntry);
    // A long value's buffer is let go; a short one's is kept for the next.
    if (mPayload.capacity() > 65536) {
        mPayload = std::string();
    } else {
        mPayload.clear();
    }
    hold();
}

void RecordGrouper::hold() {
    const std::size_t size = sizeOf(mOpenEntry);
    mHeldSizes.push_back(size);
    mHeldBytes += size;
    mHeld.push_back(std::move(mOpenEntry));
    mOpenEntry = LogEntry();
    settle(false);
}

void RecordGrouper::settle(bool final) {
    while (!mHeld.empty()) {
        std::size_t count = 0;
        bool hasReason = false, hasVersion = false;
        Match match = matchRecord(mHeld, final, count, hasReason, hasVersion);
        if (match == Match::kNeedMore) {
            return;
        }
        if (match == Match::kNone) {
            count = 1;
            mSink(mHeld.front());
        } else {
            LogEntry& record = mHeld.front();
            record.kind = LogEntry::kError;
            record.hasReason = hasReason;
            record.hasVersion = hasVersion;
            for (std::size_t k = 1; k < count; ++k) {
                record.pairs.insert(record.pairs.end(),
                                    std::make_move_iterator(mHeld[k].pairs.begin()),
                                    std::make_move_iterator(mHeld[k].pairs.end()));
            }
            record.lastLine = mHeld[count - 1].lastLine;
            record.endOffset = mHeld[count - 1].endOffset;
            record.endCrc = mHeld[count - 1].endCrc;
            for (std::size_t k = 1; k < count; ++k) {
                record.truncated = record.truncated || mHeld[k].truncated;
            }
            mSink(record);
        }
        for (std::size_t k = 0; k < count; ++k) {
            mHeldBytes -= mHeldSizes[k];
        }
        mHeld.erase(mHeld.begin(), mHeld.begin() + static_cast<std::ptrdiff_t>(count));
        mHeldSizes.erase(mHeldSizes.begin(),
                         mHeldSizes.begin() + static_cast<std::ptrdiff_t>(count));
    }
}

} // namespace zorvlog
