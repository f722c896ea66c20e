#include "RecordGrouper.h"

#include "LineFormat.h"

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

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// A piece without "=" cannot be a pair of its own: it is the rest of the
// previous value after a comma that the value held.
void splitPairs(const std::string& payload, LogEntry& entry) {
    for (const std::string& piece : splitAt(payload, ',')) {
        std::string::size_type eq = piece.find('=');
        if (eq == std::string::npos && !entry.pairs.empty()) {
            entry.pairs.back().second += "," + piece;
        } else if (eq == std::string::npos) {
            entry.pairs.emplace_back(piece, "");
        } else {
            entry.pairs.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
        }
    }
}

void classify(const std::string& payload, char separator, LogEntry& entry) {
    bool items = !payload.empty() && payload.back() == separator;
    std::string body = items ? payload.substr(0, payload.size() - 1) : payload;
    if (separator == ',') {
        entry.kind = LogEntry::kPerf;
        entry.items = splitAt(body, ',');
    } else if (items) {
        // A component name never holds a tab, so every further tab belongs
        // to the message.
        entry.kind = LogEntry::kDebug;
        std::string::size_type tab = body.find('\t');
        entry.items.push_back(body.substr(0, tab));
        entry.items.push_back(tab == std::string::npos ? std::string() : body.substr(tab + 1));
    } else {
        entry.kind = LogEntry::kPairs;
        splitPairs(payload, entry);
    }
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

RecordGrouper::RecordGrouper(Sink sink, std::uint64_t firstLine)
    : mSink(std::move(sink)), mNextLine(firstLine) {}

bool RecordGrouper::addLine(const std::string& line, std::uint64_t offset, bool terminated) {
    const std::uint64_t number = mNextLine++;
    const std::uint64_t end = offset + line.size() + (terminated ? 1 : 0);
    LogEntry entry;
    char separator = 0;
    std::size_t payload = matchSection(line, entry, separator);
    if (payload == 0 && mOpen) {
        // The tail of a value that held a line break: the joined text is
        // split as one line, so the break lands inside that value.
        mPayload += '\n';
        mPayload += line;
        mOpenEntry.lastLine = number;
        mOpenEntry.endOffset = end;
        return false;
    }
    closeOpen();
    entry.firstLine = entry.lastLine = number;
    entry.offset = offset;
    entry.endOffset = end;
    if (payload == 0) {
        entry.kind = LogEntry::kText;
        entry.text = line;
        mHeld.push_back(std::move(entry));
        settle(false);
        return true;
    }
    mOpen = true;
    mOpenEntry = std::move(entry);
    mSeparator = separator;
    mPayload.assign(line, payload, std::string::npos);
    return true;
}

void RecordGrouper::finish() {
    closeOpen();
    settle(true);
}

void RecordGrouper::closeOpen() {
    if (!mOpen) {
        return;
    }
    mOpen = false;
    classify(mPayload, mSeparator, mOpenEntry);
    mPayload.clear();
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
                record.pairs.insert(record.pairs.end(), mHeld[k].pairs.begin(),
                                    mHeld[k].pairs.end());
            }
            record.lastLine = mHeld[count - 1].lastLine;
            record.endOffset = mHeld[count - 1].endOffset;
            mSink(record);
        }
        mHeld.erase(mHeld.begin(), mHeld.begin() + static_cast<std::ptrdiff_t>(count));
    }
}

} // namespace zorvlog
