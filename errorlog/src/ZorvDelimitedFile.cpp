#include "zorv/ZorvDelimitedFile.h"

#include <cstdint>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <new>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

const char* ZorvDelimitedFile::kTab = "\t";

namespace {

// Large enough for every record the library writes, so that a record reaches
// the file in one write when the stream is closed.
constexpr std::size_t kStreamBufferSize = 16384;

// How often, and how far apart, a tail without LF is looked at before it
// counts as torn (see prepareStream).
constexpr int kTailLooks = 3;
constexpr long kTailPauseNs = 200 * 1000;

// U+FFFD REPLACEMENT CHARACTER, in UTF-8.
constexpr char kReplacement[] = "\xEF\xBF\xBD";

// The length of the well-formed UTF-8 sequence that starts at p (at most end),
// or, when there is none, minus the length of its maximal ill-formed prefix
// (at least 1), which is what one replacement character stands for. NUL counts
// as ill-formed: a NUL in a text line would cut it for every reader.
long sequenceAt(const unsigned char* p, const unsigned char* end) {
    unsigned char b = *p;
    if (b != 0 && b < 0x80) {
        return 1;
    }
    unsigned char lo = 0x80;
    unsigned char hi = 0xBF;
    long need;
    if (b >= 0xC2 && b <= 0xDF) {
        need = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        need = 3;
        if (b == 0xE0) {
            lo = 0xA0; // no overlong forms
        } else if (b == 0xED) {
            hi = 0x9F; // no surrogates
        }
    } else if (b >= 0xF0 && b <= 0xF4) {
        need = 4;
        if (b == 0xF0) {
            lo = 0x90; // no overlong forms
        } else if (b == 0xF4) {
            hi = 0x8F; // nothing above U+10FFFF
        }
    } else {
        return -1; // NUL, a continuation byte or a byte that never leads
    }
    for (long i = 1; i < need; ++i) {
        if (p + i >= end || p[i] < lo || p[i] > hi) {
            return -i;
        }
        lo = 0x80;
        hi = 0xBF;
    }
    return need;
}

// The first byte from p on that is NUL or not ASCII, or end. Every line passes
// here, so eight bytes are looked at at once: a word holds such a byte exactly
// when one of its bytes has the top bit set or is zero.
const unsigned char* skipPlainAscii(const unsigned char* p, const unsigned char* end) {
    constexpr std::uint64_t kOnes = 0x0101010101010101ull;
    constexpr std::uint64_t kTops = 0x8080808080808080ull;
    while (end - p >= 8) {
        std::uint64_t word;
        std::memcpy(&word, p, sizeof word);
        if (((word | ((word - kOnes) & ~word)) & kTops) != 0) {
            break;
        }
        p += 8;
    }
    while (p < end && *p != 0 && *p < 0x80) {
        ++p;
    }
    return p;
}

// Replaces, from the first suspicious byte on, every ill-formed sequence of
// the line by one U+FFFD; well-formed text is left as it is. Most lines are
// plain ASCII and cost one scan.
void repairUtf8(std::string& line) {
    const unsigned char* begin = reinterpret_cast<const unsigned char*>(line.data());
    const unsigned char* end = begin + line.size();
    const unsigned char* p = skipPlainAscii(begin, end);
    if (p == end) {
        return;
    }
    // Only the part after the first non-ASCII byte needs a close look.
    const unsigned char* q = p;
    while (q < end) {
        long n = sequenceAt(q, end);
        if (n < 0) {
            break;
        }
        q += n;
    }
    if (q == end) {
        return;
    }
    std::string repaired(line.data(), static_cast<std::size_t>(q - begin));
    repaired.reserve(line.size() + 8);
    while (q < end) {
        long n = sequenceAt(q, end);
        if (n > 0) {
            repaired.append(reinterpret_cast<const char*>(q), static_cast<std::size_t>(n));
            q += n;
        } else {
            repaired += kReplacement;
            q += -n;
        }
    }
    line.swap(repaired);
}

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

void appendBytes(std::string& line, const TStr& text) {
    line.append(text.bytes());
}

} // namespace

ZorvDelimitedFile::ZorvDelimitedFile(TStr filename)
    : mFilename(std::move(filename)), mFile(nullptr), mReady(false), mAppending(true),
      mBuffer(nullptr), mTailSize(-1), mWritten(-1), mPathUsable(-1) {}

ZorvDelimitedFile::~ZorvDelimitedFile() {
    refresh();
    delete[] mBuffer;
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
    mTailSize = -1;
    mPathUsable = -1;
}

bool ZorvDelimitedFile::open(bool truncate) {
    if (mFilename.isEmpty()) {
        return false;
    }
    if (mFile == nullptr) {
        if (mPathUsable < 0) {
            // Looked at once per name, not once per record: only setFilename
            // changes it.
            const char* path = mFilename.toUtf8();
            // A NUL inside the name would make fopen see a shorter, other path.
            mPathUsable = path != nullptr && std::strlen(path) == mFilename.byteLength() ? 1 : 0;
        }
        if (mPathUsable == 0) {
            return false;
        }
        // Close-on-exec: a record runs "uname" while the file is open, and
        // that child must not inherit the log file.
        mFile = std::fopen(mFilename.bytes().c_str(), truncate ? "we" : "a+e");
        if (mFile == nullptr) {
            return false;
        }
        if (mBuffer == nullptr) {
            mBuffer = new (std::nothrow) char[kStreamBufferSize];
        }
        if (mBuffer != nullptr) {
            std::setvbuf(mFile, mBuffer, _IOFBF, kStreamBufferSize);
        }
        mAppending = !truncate;
        mReady = false;
    }
    return true;
}

void ZorvDelimitedFile::close() {
    if (mFile != nullptr) {
        bool flushed = std::fclose(mFile) == 0;
        if (mReady) {
            // When every line we wrote reached the file, it ends with our LF
            // at a size we know; otherwise its tail is unknown.
            mTailSize = flushed && mWritten >= 0 && mTailSize >= 0 ? mTailSize + mWritten : -1;
        }
        mFile = nullptr;
        mReady = false;
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
    // stream: nothing buffered for the old contents can land after the cut.
    if (open(true)) {
        close();
    }
}

bool ZorvDelimitedFile::isCurrentSectionSet() const {
    return !mProcessId.isEmpty() && !mDate.isEmpty() && !mTime.isEmpty();
}

void ZorvDelimitedFile::updateCurrentSection(bool withMilliSecs) {
    mSectionText.clear();
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

// Built on the first line after each new section, and again only when the
// separator asked for differs from last time (kTab may be pointed elsewhere
// between two lines). The section must be set.
const std::string& ZorvDelimitedFile::sectionText(const std::string& separator) {
    if (mSectionText.empty() || separator != mSectionSeparator) {
        mSectionSeparator = separator;
        mSectionText.clear();
        appendBytes(mSectionText, mProcessId);
        mSectionText += separator;
        appendBytes(mSectionText, mDate);
        mSectionText += separator;
        appendBytes(mSectionText, mTime);
    }
    return mSectionText;
}

TStr ZorvDelimitedFile::formatSection(const TStr& date, const TStr& time, const TStr& processId,
                                      const TStr& separator) const {
    if (date.isEmpty() || time.isEmpty() || processId.isEmpty()) {
        return TStr();
    }
    std::string text;
    text.reserve(processId.byteLength() + date.byteLength() + time.byteLength() +
                 2 * separator.byteLength());
    text += processId.bytes();
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
    // Built straight into the line: a one-pair list would cost two copies and
    // a node for every line of every record.
    bool written = false;
    if (isCurrentSectionSet()) {
        mLine.clear();
        mLine += sectionText(kTab != nullptr ? kTab : "");
        mLine += '\t';
        appendBytes(mLine, key);
        mLine += '=';
        appendBytes(mLine, value);
        mLine += '\n';
        written = putLine();
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
    bool written =
        isCurrentSectionSet() && putPairs(sectionText(kTab != nullptr ? kTab : ""), pairs);
    if (closeAfterwards) {
        close();
    }
    return written;
}

bool ZorvDelimitedFile::append(const TStr& section, std::list<std::pair<TStr, TStr>>& pairs) {
    if (mFile == nullptr || section.isEmpty()) {
        return false;
    }
    return putPairs(section.bytes(), pairs);
}

bool ZorvDelimitedFile::putPairs(const std::string& section,
                                 const std::list<std::pair<TStr, TStr>>& pairs) {
    if (pairs.empty()) {
        return false;
    }
    mLine.clear();
    mLine += section;
    mLine += '\t';
    bool first = true;
    for (const auto& pair : pairs) {
        if (!first) {
            mLine += ',';
        }
        first = false;
        appendBytes(mLine, pair.first);
        mLine += '=';
        appendBytes(mLine, pair.second);
    }
    mLine += '\n';
    return putLine();
}

bool ZorvDelimitedFile::append(const TStr& section, const TStr& key, const TStr& value) {
    if (mFile == nullptr || section.isEmpty()) {
        return false;
    }
    mLine.clear();
    appendBytes(mLine, section);
    mLine += '\t';
    appendBytes(mLine, key);
    mLine += '=';
    appendBytes(mLine, value);
    mLine += '\n';
    return putLine();
}

bool ZorvDelimitedFile::writeDebugLog(std::list<TStr>& items, const TStr& separator) {
    if (!open(false)) {
        return false;
    }
    if (!isCurrentSectionSet() || items.empty()) {
        return false;
    }
    const std::string& sep = separator.bytes();
    mLine.clear();
    mLine += sectionText(sep);
    mLine += sep;
    for (const TStr& item : items) {
        appendBytes(mLine, item);
        mLine += sep;
    }
    mLine += '\n';
    return putLine();
}

// Done once per open, at the first line, instead of a seek before every line:
// on glibc a seek on an "a+" stream flushes and reads back the last block,
// which would cost a write and a read per line. An append stream writes at the
// end whatever its position, so what is left to check is that the file can be
// positioned at all, and whether its last byte is a LF. lseek answers both
// for the price of one cheap call (an fstat costs several times more).
bool ZorvDelimitedFile::prepareStream(bool& needLineFeed) {
    needLineFeed = false;
    int fd = ::fileno(mFile);
    // Pipes, sockets and terminals cannot be positioned: nothing is written
    // to them.
    off_t size = ::lseek(fd, 0, SEEK_END);
    if (size < 0) {
        return false;
    }
    if (size == 0) {
        struct stat st;
        if (::fstat(fd, &st) == 0 && !S_ISREG(st.st_mode)) {
            // A device reports its errors when it is written to, not when
            // we close: unbuffered, a failed line shows in the writer's result.
            std::setvbuf(mFile, nullptr, _IONBF, 0);
            mTailSize = -1;
            mWritten = -1;
            mReady = true;
            return true;
        }
    }
    bool known = size == 0 || size == mTailSize;
    if (!known) {
        // Reading the tail of a file that was just written would update its
        // access time, a journal write on every record; we only want a byte.
        // (Allowed on our own files only; elsewhere the read costs more.)
        ::fcntl(fd, F_SETFL, (mAppending ? O_APPEND : 0) | O_NOATIME);
    }
    // A writer that crashed or hit a full disk may have left a line without
    // its LF; ours must not be glued to it. The stream buffer is empty here
    // (first line after open, or a failed write dropped it), so the file's
    // last byte is the last byte written.
    for (int look = 1; !known && size > 0; ++look) {
        char last = '\n';
        if (::pread(fd, &last, 1, size - 1) != 1 || last == '\n') {
            break;
        }
        // Another process may be half-way through appending a record, whose
        // bytes become visible page by page; only a tail that stays put is
        // torn. (Exact only under the per-file mutex the logger holds.)
        if (look == kTailLooks) {
            needLineFeed = true;
            break;
        }
        struct timespec pause = {0, kTailPauseNs};
        ::nanosleep(&pause, nullptr);
        off_t now = ::lseek(fd, 0, SEEK_END);
        if (now == size) {
            needLineFeed = true;
            break;
        }
        if (now < 0) {
            break;
        }
        size = now;
    }
    mTailSize = size;
    mWritten = 0;
    mReady = true;
    return true;
}

bool ZorvDelimitedFile::putLine() {
    bool needLineFeed = false;
    if (!mReady && !prepareStream(needLineFeed)) {
        return false;
    }
    repairUtf8(mLine);
    bool ok = true;
    // The whole line in one call; its length is known, and the stream is
    // ours alone, so neither strlen nor the stream lock is needed.
    if (needLineFeed && ::fputc_unlocked('\n', mFile) == EOF) {
        ok = false;
    }
    if (ok && ::fwrite_unlocked(mLine.data(), 1, mLine.size(), mFile) != mLine.size()) {
        ok = false;
    }
    if (!ok) {
        // Part of the line may be on disk without its LF: look at the tail
        // again before the next line.
        std::clearerr(mFile);
        mReady = false;
        mTailSize = -1;
    } else if (mWritten >= 0) {
        mWritten += static_cast<long long>(mLine.size()) + (needLineFeed ? 1 : 0);
    }
    return ok;
}
