#include "zorv/ZorvDelimitedFile.h"

#include "DelimitedFileState.h"
#include "LineFormat.h"

#include <ctime>
#include <string>
#include <sys/time.h>
#include <unistd.h>

// The section of ZorvDelimitedFile, the prefix of each line (pid, then the
// local date and time), and how it is made into text.

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

} // namespace

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
    std::string text;
    zorv_detail::appendSection(text, processId.bytes(), date.bytes(), time.bytes(),
                               separator.bytes());
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

const std::string& ZorvDelimitedFile::sectionText(std::string_view separator) {
    std::string& text = mState->sectionText;
    const std::string& madeWith = mState->sectionSeparator;
    // Mostly a single tab or comma: compared without a call.
    const bool same = separator.size() == madeWith.size() &&
                      (separator.size() == 1 ? separator[0] == madeWith[0] : separator == madeWith);
    if (text.empty() || !same) {
        mState->sectionSeparator = separator;
        text.clear();
        zorv_detail::appendSection(text, mProcessId.bytes(), mDate.bytes(), mTime.bytes(),
                                   separator);
    }
    return text;
}
