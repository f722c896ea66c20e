#ifndef ZORV_DELIMITEDFILE_H
#define ZORV_DELIMITEDFILE_H

#include "ZorvErrorLogExport.h"
#include <zorv/TStr.h>

#include <cstdio>
#include <list>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace zorv_detail {
struct DelimitedFileState;
struct DescribedPair;
} // namespace zorv_detail

// Writes every line the library puts on disk. Each line starts with the
// current section (process id, local date, local time) and carries either
// key=value pairs or separator-terminated items.
class ZORV_ERRORLOG_EXPORT ZorvDelimitedFile {
public:
    // The separator inside the section of key/value lines; read at each write.
    static const char* kTab;

    ZorvDelimitedFile(TStr filename);
    ~ZorvDelimitedFile();
    ZorvDelimitedFile(const ZorvDelimitedFile&) = delete;
    ZorvDelimitedFile& operator=(const ZorvDelimitedFile&) = delete;

    TStr getFilename() const;
    void setFilename(const TStr& filename);
    bool open(bool truncate);
    void close();
    void refresh();
    void clearContents();

    bool isCurrentSectionSet() const;
    void updateCurrentSection(bool withMilliSecs);
    TStr getCurrentSection(const TStr& separator) const;
    TStr formatSection(const TStr& date, const TStr& time, const TStr& processId,
                       const TStr& separator) const;
    TStr formatKey(const TStr& a, const TStr& b, const TStr& c) const;
    TStr formatDate(int year, int month, int day) const;
    TStr formatTime(int hour, int minute, int second) const;
    TStr formatTimeWMilliSecs(int hour, int minute, int second, int milliSecs) const;

    bool write(const TStr& key, const TStr& value);
    bool write(const TStr& key, int value);
    bool write(std::list<std::pair<TStr, TStr>>& pairs);
    bool append(const TStr& key, const TStr& value, bool closeAfterwards);
    bool append(std::list<std::pair<TStr, TStr>>& pairs, bool closeAfterwards);
    bool append(const TStr& section, std::list<std::pair<TStr, TStr>>& pairs);
    bool append(const TStr& section, const TStr& key, const TStr& value);
    // A string literal or pointer as the third argument is a value; an
    // integer (0, 1) is the close-afterwards flag, as bool would be.
    bool append(const TStr& section, const TStr& key, const char* value) {
        return append(section, key, TStr(value));
    }
    template <class Integer, class = std::enable_if_t<std::is_integral_v<Integer> &&
                                                      !std::is_same_v<Integer, bool>>>
    bool append(const TStr& key, const TStr& value, Integer closeAfterwards) {
        return append(key, value, closeAfterwards != 0);
    }
    bool writeDebugLog(std::list<TStr>& items, const TStr& separator);

    // For the library's own logger, not exported: what the file keeps behind
    // its pointer, and the name of the named mutex its records are written
    // under (null when the file name gives none).
    ZORV_ERRORLOG_INTERNAL zorv_detail::DelimitedFileState& state() { return *mState; }
    ZORV_ERRORLOG_INTERNAL const TStr* mutexName();
    // writeDebugLog's line from count items the caller keeps, so that the
    // library's own debug record copies none of them into a list.
    ZORV_ERRORLOG_INTERNAL bool writeItems(const TStr* const* items, std::size_t count,
                                           std::string_view separator);
    // A key/value line of count pairs built straight from the record's own
    // texts, so that an error record makes no text of its own for a line.
    ZORV_ERRORLOG_INTERNAL bool writePairs(const zorv_detail::DescribedPair* pairs,
                                           std::size_t count);

private:
    TStr mFilename;
    TStr mProcessId;
    TStr mDate;
    TStr mTime;
    // Stays null: the file is written through its record, behind mState.
    FILE* mFile;
    zorv_detail::DelimitedFileState* mState;

    ZORV_ERRORLOG_INTERNAL const std::string& sectionText(std::string_view separator);
};

#endif
