#include "zorv/ZorvDelimitedFile.h"

#include "AppendStream.h"
#include "RecordLock.h"
#include "Utf8.h"

#include <cstring>
#include <ctime>
#include <string>
#include <sys/time.h>
#include <unistd.h>

const char* ZorvDelimitedFile::kTab = "\t";

namespace zorv_detail {

// What the file keeps besides the members its interface names.
struct DelimitedFileState {
    AppendStream stream;
    // The line being built; keeps its room from one line to the next.
    std::string line;
    // The section as text with the separator it was built with, made on the
    // first line after each new section (kTab may be pointed elsewhere between
    // two lines, so the separator is compared every time).
    std::string sectionText;
    std::string sectionSeparator;
    // Whether mFilename is usable as a path (1), not usable (0), or has not
    // been looked at since it was set (-1).
    int pathUsable = -1;
};

} // namespace zorv_detail

namespace {

// The text of one field: the value alone, or, when zeroFill holds, "0" and
// the value, both through the same markers the date and time templates use.
TStr fieldText(int value, bool zeroFill) {
    if (zeroFill) {
        return TStr("%1%2").arg(0, 0, 10, ' ').arg(value, 0, 10, ' ');
    }
    return TStr("%1").arg(value, 0, 10, ' ');
}

// Hour, minute, second: a single digit gets a leading zero; negative values
// and values above 9 are written as they are.
TStr clockField(int value) {
    return fieldText(value, value >= 0 && value <= 9);
}

// Month, day: 1 to 9 get a leading zero; 0 stays "0".
TStr calendarField(int value) {
    return fieldText(value, value >= 1 && value <= 9);
}

void appendPairs(std::string& line, const std::list<std::pair<TStr, TStr>>& pairs) {
    bool first = true;
    for (const auto& pair : pairs) {
        if (!first) {
            line += ',';
        }
        first = false;
        line += pair.first.bytes();
        line += '=';
        line += pair.second.bytes();
    }
}

const char* currentTab() {
    return ZorvDelimitedFile::kTab != nullptr ? ZorvDelimitedFile::kTab : "";
}

} // namespace

ZorvDelimitedFile::ZorvDelimitedFile(TStr filename)
    : mFilename(std::move(filename)), mFile(nullptr), mState(new zorv_detail::DelimitedFileState) {}

ZorvDelimitedFile::~ZorvDelimitedFile() {
    refresh();
    delete mState;
}

TStr ZorvDelimitedFile::getFilename() const {
    return mFilename;
}

void ZorvDelimitedFile::setFilename(const TStr& filename) {
    if (filename == mFilename) {
        return;
    }
    close();
    mFilename = filename;
    mState->stream.forgetTail();
    mState->pathUsable = -1;
}

bool ZorvDelimitedFile::open(bool truncate) {
    if (mFilename.isEmpty()) {
        return false;
    }
    if (mFile == nullptr) {
        if (mState->pathUsable < 0) {
            const char* path = mFilename.toUtf8();
            // A NUL inside the name would make fopen see a shorter, other path.
            mState->pathUsable =
                path != nullptr && std::strlen(path) == mFilename.byteLength() ? 1 : 0;
        }
        if (mState->pathUsable == 0) {
            return false;
        }
        // Close-on-exec: a record runs "uname" while the file is open, and
        // that child must not inherit the log file. The stream's own buffer is
        // never used: lines go through the record's AppendStream.
        mFile = std::fopen(mFilename.bytes().c_str(), truncate ? "we" : "a+e");
        if (mFile == nullptr) {
            return false;
        }
        mState->stream.opened(::fileno(mFile), !truncate);
    }
    return true;
}

void ZorvDelimitedFile::close() {
    if (mFile != nullptr) {
        mState->stream.writeRecord(zorv_detail::RecordLock::heldFor(this));
        std::fclose(mFile);
        mFile = nullptr;
    }
}

void ZorvDelimitedFile::refresh() {
    close();
}

void ZorvDelimitedFile::clearContents() {
    if (mFilename.isEmpty()) {
        return;
    }
    close();
    // Truncating through a fresh "w" open rather than ftruncate on a kept
    // stream: nothing collected for the old contents can land after the cut.
    if (open(true)) {
        close();
    }
}

bool ZorvDelimitedFile::isCurrentSectionSet() const {
    return !mProcessId.isEmpty() && !mDate.isEmpty() && !mTime.isEmpty();
}

void ZorvDelimitedFile::updateCurrentSection(bool withMilliSecs) {
    mState->sectionText.clear();
    mProcessId = TStr(std::to_string(static_cast<long>(::getpid())));

    struct timeval now;
    ::gettimeofday(&now, nullptr);
    time_t seconds = now.tv_sec;
    // Re-read TZ each time, so a zone changed by the process applies to the
    // next section.
    ::tzset();
    struct tm local;
    if (::localtime_r(&seconds, &local) == nullptr) {
        // No usable local time: keep the date and time we had rather than
        // write numbers made of garbage.
        return;
    }
    mDate = formatDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
    if (withMilliSecs) {
        mTime = formatTimeWMilliSecs(local.tm_hour, local.tm_min, local.tm_sec,
                                     static_cast<int>(now.tv_usec / 1000));
    } else {
        mTime = formatTime(local.tm_hour, local.tm_min, local.tm_sec);
    }
}

TStr ZorvDelimitedFile::getCurrentSection(const TStr& separator) const {
    return formatSection(mDate, mTime, mProcessId, separator);
}

TStr ZorvDelimitedFile::formatSection(const TStr& date, const TStr& time, const TStr& processId,
                                      const TStr& separator) const {
    if (date.isEmpty() || time.isEmpty() || processId.isEmpty()) {
        return TStr();
    }
    std::string text = processId.bytes();
    text += separator.bytes();
    text += date.bytes();
    text += separator.bytes();
    text += time.bytes();
    return TStr(std::move(text));
}

TStr ZorvDelimitedFile::formatKey(const TStr&, const TStr&, const TStr&) const {
    // Part of the interface, used by nothing; it composes no key.
    return TStr();
}

TStr ZorvDelimitedFile::formatDate(int year, int month, int day) const {
    return TStr("%1/%2/%3")
        .arg(fieldText(year, false), 0, ' ')
        .arg(calendarField(month), 0, ' ')
        .arg(calendarField(day), 0, ' ');
}

TStr ZorvDelimitedFile::formatTime(int hour, int minute, int second) const {
    return TStr("%1:%2:%3")
        .arg(clockField(hour), 0, ' ')
        .arg(clockField(minute), 0, ' ')
        .arg(clockField(second), 0, ' ');
}

TStr ZorvDelimitedFile::formatTimeWMilliSecs(int hour, int minute, int second,
                                             int milliSecs) const {
    TStr millis = milliSecs >= 0 ? fieldText(milliSecs, false) : TStr();
    return TStr("%1:%2:%3:%4")
        .arg(clockField(hour), 0, ' ')
        .arg(clockField(minute), 0, ' ')
        .arg(clockField(second), 0, ' ')
        .arg(millis, 0, ' ');
}

bool ZorvDelimitedFile::write(const TStr& key, const TStr& value) {
    return append(key, value, false);
}

bool ZorvDelimitedFile::write(const TStr& key, int value) {
    return append(key, TStr(std::to_string(value)), false);
}

bool ZorvDelimitedFile::write(std::list<std::pair<TStr, TStr>>& pairs) {
    return append(pairs, false);
}

bool ZorvDelimitedFile::append(const TStr& key, const TStr& value, bool closeAfterwards) {
    if (!open(false)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet()) {
        std::string& line = mState->line;
        line.clear();
        line += sectionText(currentTab());
        line += '\t';
        line += key.bytes();
        line += '=';
        line += value.bytes();
        line += '\n';
        written = putLine(line);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(std::list<std::pair<TStr, TStr>>& pairs, bool closeAfterwards) {
    if (!open(false)) {
        return false;
    }
    bool written = false;
    if (isCurrentSectionSet() && !pairs.empty()) {
        std::string& line = mState->line;
        line.clear();
        line += sectionText(currentTab());
        line += '\t';
        appendPairs(line, pairs);
        line += '\n';
        written = putLine(line);
    }
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(const TStr& section, std::list<std::pair<TStr, TStr>>& pairs) {
    if (mFile == nullptr || section.isEmpty() || pairs.empty()) {
        return false;
    }
    std::string& line = mState->line;
    line = section.bytes();
    line += '\t';
    appendPairs(line, pairs);
    line += '\n';
    return putLine(line);
}

bool ZorvDelimitedFile::append(const TStr& section, const TStr& key, const TStr& value) {
    if (mFile == nullptr || section.isEmpty()) {
        return false;
    }
    std::string& line = mState->line;
    line = section.bytes();
    line += '\t';
    line += key.bytes();
    line += '=';
    line += value.bytes();
    line += '\n';
    return putLine(line);
}

bool ZorvDelimitedFile::writeDebugLog(std::list<TStr>& items, const TStr& separator) {
    if (!open(false)) {
        return false;
    }
    if (!isCurrentSectionSet() || items.empty()) {
        return false;
    }
    const std::string& sep = separator.bytes();
    std::string& line = mState->line;
    line.clear();
    line += sectionText(sep);
    line += sep;
    for (const TStr& item : items) {
        line += item.bytes();
        line += sep;
    }
    line += '\n';
    return putLine(line);
}

const std::string& ZorvDelimitedFile::sectionText(const std::string& separator) {
    std::string& text = mState->sectionText;
    if (text.empty() || separator != mState->sectionSeparator) {
        mState->sectionSeparator = separator;
        text = mProcessId.bytes();
        text += separator;
        text += mDate.bytes();
        text += separator;
        text += mTime.bytes();
    }
    return text;
}

// Every line passes here: mended into UTF-8 and added to the record, which
// leaves for the file when the stream is closed.
bool ZorvDelimitedFile::putLine(std::string& line) {
    zorv_detail::repairLineText(line);
    return mState->stream.addLine(line, zorv_detail::RecordLock::heldFor(this));
}
