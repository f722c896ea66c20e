#include "read/RecordGrouper.h"

#include "LineFormat.h"

#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvLoggable.h>

#include <algorithm>

namespace zorvlog {

namespace {

using zorv_detail::kPayloadTab;
using zorv_detail::kPerfSeparator;
using Span = LogEntry::Span;

Span span(std::size_t at, std::size_t size) {
    return Span{static_cast<std::uint32_t>(at), static_cast<std::uint32_t>(size)};
}

// A closed line's payload, from `payload` on in its text, into the entry's
// kind and fields: a perf row's columns, a debug record's component and
// message, or key/value pairs.
void classify(LogEntry& entry, std::size_t payload, char separator) {
    const std::string_view rest = std::string_view(entry.text).substr(payload);
    const bool items = !rest.empty() && rest.back() == separator;
    const std::size_t body = items ? rest.size() - 1 : rest.size();
    if (separator == kPerfSeparator) {
        entry.kind = LogEntry::kPerf;
        for (std::size_t from = 0;;) {
            std::size_t end = rest.substr(0, body).find(kPerfSeparator, from);
            end = end == std::string_view::npos ? body : end;
            entry.itemSpans.push_back(span(payload + from, end - from));
            if (end == body) {
                return;
            }
            from = end + 1;
        }
    }
    if (items) {
        // A component name never holds a tab, so every further tab belongs
        // to the message.
        entry.kind = LogEntry::kDebug;
        std::size_t tab = rest.find(kPayloadTab);
        tab = tab >= body ? body : tab;
        entry.itemSpans.push_back(span(payload, tab));
        entry.itemSpans.push_back(tab == body ? span(payload + body, 0)
                                              : span(payload + tab + 1, body - tab - 1));
        static_assert(zorv_detail::kDebugItemCount == 2, "a debug record has two items");
        return;
    }
    entry.kind = LogEntry::kPairs;
    zorv_detail::splitPairs(rest, [&](std::size_t keyFrom, std::size_t keyTo, std::size_t valueFrom,
                                      std::size_t valueTo) {
        entry.pairSpans.emplace_back(span(payload + keyFrom, keyTo - keyFrom),
                                     span(payload + valueFrom, valueTo - valueFrom));
    });
}

// The keys of an error record's lines, measured once.
struct RecordKeys {
    std::string_view reason = ZorvLoggable::REASON;
    std::string_view computerName = ZorvLoggable::COMPUTER_NAME;
    std::string_view os = ZorvLoggable::OS;
    std::string_view file = ZorvErrorBase::THROWN_FILE;
    std::string_view line = ZorvErrorBase::THROWN_LINE;
    std::string_view vendorId = ZorvErrorBase::VENDOR_ID;
    std::string_view vendorError = ZorvErrorBase::VENDOR_ERROR;
};

const RecordKeys& recordKeys() {
    static const RecordKeys keys;
    return keys;
}

// Whether two lines have one section: compared in one piece, pid, date and
// time with the separators between them. Only key/value lines are asked
// whether they make one record, and theirs is always the tab.
bool sameSection(const LogEntry& a, const LogEntry& b) {
    const std::size_t size = a.timeSpan.at + a.timeSpan.size;
    return a.pidSpan.at == 0 && b.pidSpan.at == 0 && b.timeSpan.at + b.timeSpan.size == size &&
           a.text.compare(0, size, b.text, 0, size) == 0;
}

bool singlePair(const LogEntry& e, std::string_view key) {
    return e.kind == LogEntry::kPairs && e.pairCount() == 1 && e.key(0) == key;
}

bool fileAndLine(const LogEntry& e) {
    return e.kind == LogEntry::kPairs && e.pairCount() == 2 && e.key(0) == recordKeys().file &&
           e.key(1) == recordKeys().line;
}

enum class Match { kNeedMore, kNone, kRecord };

// Whether the held entries start with the lines of one error record, as
// ZorvErrorBase writes them: [Reason] ComputerName OS File,Line VendorID
// VendorError [vendor name=version], all under one section. Settled as soon
// as the entries held decide it; at the end of the input (final) what is
// missing is missing. The first `fitting` entries are known to fit already
// (a record's lines arrive one by one, and each is looked at once); the
// count that does is left there when more are needed.
Match matchRecord(const LogEntry* held, std::size_t count, bool final, std::size_t& fitting,
                  std::size_t& length, bool& hasReason, bool& hasVersion) {
    const LogEntry& first = held[0];
    if (first.kind != LogEntry::kPairs) {
        return Match::kNone;
    }
    const RecordKeys& names = recordKeys();
    std::size_t i = 0;
    hasReason = singlePair(first, names.reason);
    if (hasReason) {
        ++i;
    }
    for (int step = 0; step < 5; ++step, ++i) {
        if (i >= count) {
            fitting = count;
            return final ? Match::kNone : Match::kNeedMore;
        }
        if (i < fitting) {
            continue;
        }
        const LogEntry& e = held[i];
        const std::string_view keys[] = {names.computerName, names.os, std::string_view(),
                                         names.vendorId, names.vendorError};
        const bool fits =
            sameSection(e, first) && (step != 2 ? singlePair(e, keys[step]) : fileAndLine(e));
        if (!fits) {
            return Match::kNone;
        }
    }
    // The VendorID line, two before: its description names the version line.
    std::string_view id, vendorName;
    const bool named =
        zorv_detail::splitDescribed(held[i - 2].value(0), id, vendorName) && !vendorName.empty();
    hasVersion = false;
    if (named) {
        if (i >= count) {
            if (!final) {
                return Match::kNeedMore;
            }
        } else if (sameSection(held[i], first) && singlePair(held[i], vendorName)) {
            hasVersion = true;
            ++i;
        }
    }
    length = i;
    return Match::kRecord;
}

// A long line's buffer is let go; a short one's is kept for the next.
void releaseLongBuffer(std::string& text) {
    if (text.capacity() > 65536) {
        releaseBuffer(text);
    }
}

} // namespace

bool startsWithSection(std::string_view line) {
    zorv_detail::SectionMatch section;
    return zorv_detail::matchSection(line, section);
}

RecordGrouper::RecordGrouper(Sink sink, std::uint64_t firstLine)
    : mSink(std::move(sink)), mNextLine(firstLine) {}

std::size_t RecordGrouper::heldBytes() const {
    std::size_t bytes = 0;
    for (std::size_t k = 0; k < mHeldCount; ++k) {
        bytes += mHeld[k].text.size();
    }
    return bytes;
}

void RecordGrouper::addLine(LogInput::Line& line) {
    const std::uint64_t number = mNextLine == 0 ? 0 : mNextLine++;
    ++mLinesAdded;
    if (line.text.empty() && !line.cut) {
        ++mBlank;
        return;
    }
    zorv_detail::SectionMatch section;
    const bool hasSection = zorv_detail::matchSection(line.text, section);
    const std::size_t held = mHeldCount > 0 ? heldBytes() : 0;
    if (!hasSection && mOpen) {
        // The tail of a value that held a line break: the joined text is
        // split as one line, so the break lands inside that value.
        LogEntry& entry = mOpenEntry;
        const std::size_t used = held + entry.text.size();
        std::size_t room = used < kMaxRecord ? kMaxRecord - used : 0;
        const std::size_t breaks = std::min(mBlank + 1, room);
        entry.text.append(breaks, '\n');
        room -= breaks;
        entry.text.append(line.text, 0, std::min(line.text.size(), room));
        entry.truncated =
            entry.truncated || line.cut || line.text.size() > room || breaks <= mBlank;
        entry.lastLine = number;
        entry.endOffset = line.end;
        entry.endCrc = line.crc;
        mBlank = 0;
        return;
    }
    mBlank = 0;
    closeOpen();
    LogEntry& entry = mOpenEntry;
    const char* const base = line.text.data();
    entry.text.swap(line.text);
    // What is held counts too; the section is never cut.
    const std::size_t room = std::max(held < kMaxRecord ? kMaxRecord - held : 0, section.payload);
    if (entry.text.size() > room) {
        entry.text.resize(room);
        entry.truncated = true;
    }
    entry.truncated = entry.truncated || line.cut;
    entry.firstLine = entry.lastLine = number;
    entry.offset = line.offset;
    entry.endOffset = line.end;
    entry.endCrc = line.crc;
    if (hasSection) {
        entry.pidSpan =
            span(static_cast<std::size_t>(section.pid.data() - base), section.pid.size());
        entry.dateSpan =
            span(static_cast<std::size_t>(section.date.data() - base), section.date.size());
        entry.timeSpan =
            span(static_cast<std::size_t>(section.time.data() - base), section.time.size());
        mPayload = section.payload;
        mSeparator = section.separator;
        mOpen = true;
        return;
    }
    // No section and nothing to continue: a line of text of its own.
    entry.kind = LogEntry::kText;
    hold();
}

void RecordGrouper::finish() {
    mBlank = 0;
    closeOpen();
    settle(true);
}

void RecordGrouper::handOnVisible() {
    if (!mOpen || mBlank > 0) {
        return;
    }
    const std::string& text = mOpenEntry.text;
    if (text.size() > mPayload && text.back() == mSeparator) {
        closeOpen();
        return;
    }
    // An error record whose version line is the open one: tried on a copy,
    // since the open line stays open when it does not complete one.
    if (mHeldCount < 5 || text.size() > 4096) {
        return;
    }
    if (mHeldCount == mHeld.size()) {
        mHeld.emplace_back();
    }
    LogEntry& trial = mHeld[mHeldCount];
    trial = mOpenEntry;
    classify(trial, mPayload, mSeparator);
    std::size_t length = 0, fitting = mFitting;
    bool hasReason = false, hasVersion = false;
    const bool completes = matchRecord(mHeld.data(), mHeldCount + 1, false, fitting, length,
                                       hasReason, hasVersion) == Match::kRecord &&
                           hasVersion && length == mHeldCount + 1;
    trial.reset();
    if (completes) {
        closeOpen();
    }
}

void RecordGrouper::closeOpen() {
    if (!mOpen) {
        return;
    }
    mOpen = false;
    classify(mOpenEntry, mPayload, mSeparator);
    hold();
}

void RecordGrouper::hold() {
    if (mHeldCount == 0 && mOpenEntry.kind != LogEntry::kPairs) {
        // Nothing held, and this entry cannot begin an error record: it is
        // whole as it stands and goes on from where it is.
        mSink(mOpenEntry);
        mOpenEntry.reset();
        releaseLongBuffer(mOpenEntry.text);
        return;
    }
    if (mHeldCount == mHeld.size()) {
        mHeld.emplace_back();
    }
    std::swap(mHeld[mHeldCount], mOpenEntry);
    ++mHeldCount;
    mOpenEntry.reset();
    releaseLongBuffer(mOpenEntry.text);
    settle(false);
}

void RecordGrouper::settle(bool final) {
    while (mHeldCount > 0) {
        std::size_t count = 1;
        bool hasReason = false, hasVersion = false;
        const Match match =
            matchRecord(mHeld.data(), mHeldCount, final, mFitting, count, hasReason, hasVersion);
        if (match == Match::kNeedMore) {
            return;
        }
        mFitting = 0;
        if (match == Match::kNone) {
            count = 1;
        } else {
            emitRecord(count, hasReason, hasVersion);
        }
        mSink(mHeld[0]);
        for (std::size_t k = 0; k < count; ++k) {
            mHeld[k].reset();
            // A spare keeps a short buffer only, so that long records in
            // turn do not each leave one behind.
            releaseLongBuffer(mHeld[k].text);
        }
        std::rotate(mHeld.begin(), mHeld.begin() + static_cast<std::ptrdiff_t>(count),
                    mHeld.begin() + static_cast<std::ptrdiff_t>(mHeldCount));
        mHeldCount -= count;
    }
}

// The first `count` held entries into the first, as one error record.
void RecordGrouper::emitRecord(std::size_t count, bool hasReason, bool hasVersion) {
    LogEntry& record = mHeld[0];
    record.kind = LogEntry::kError;
    record.hasReason = hasReason;
    record.hasVersion = hasVersion;
    std::size_t size = record.text.size();
    for (std::size_t k = 1; k < count; ++k) {
        size += 1 + mHeld[k].text.size();
    }
    record.text.reserve(size);
    for (std::size_t k = 1; k < count; ++k) {
        const LogEntry& line = mHeld[k];
        record.text += zorv_detail::kLineEnd;
        const std::uint32_t shift = static_cast<std::uint32_t>(record.text.size());
        record.text += line.text;
        for (const auto& pair : line.pairSpans) {
            record.pairSpans.emplace_back(Span{pair.first.at + shift, pair.first.size},
                                          Span{pair.second.at + shift, pair.second.size});
        }
        record.truncated = record.truncated || line.truncated;
    }
    const LogEntry& last = mHeld[count - 1];
    record.lastLine = last.lastLine;
    record.endOffset = last.endOffset;
    record.endCrc = last.endCrc;
}

} // namespace zorvlog
