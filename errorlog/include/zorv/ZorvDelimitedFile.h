#ifndef ZORV_DELIMITEDFILE_H
#define ZORV_DELIMITEDFILE_H

#include "ZorvErrorLogExport.h"
#include <zorv/TStr.h>

#include <cstdio>
#include <list>
#include <string>
#include <utility>

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
    // A string literal as value must not turn into the close-afterwards flag.
    bool append(const TStr& section, const TStr& key, const char* value) {
        return append(section, key, TStr(value));
    }
    bool writeDebugLog(std::list<TStr>& items, const TStr& separator);

private:
    TStr mFilename;
    TStr mProcessId;
    TStr mDate;
    TStr mTime;
    FILE* mFile;
    // Whether the stream opened last has been positioned and its tail checked.
    bool mReady;
    // Whether the stream was opened for appending ("a+") rather than with "w".
    bool mAppending;
    // The stream's buffer, made once and reused by every open, so that opening
    // costs neither an allocation nor the library's own size probe.
    char* mBuffer;
    // Scratch space for the line being built; keeps its capacity between lines.
    std::string mLine;
    // The size we left the file with at our last successful close, its last
    // byte a LF, so that reopening a file nobody else wrote to needs no read
    // of its tail; -1 when unknown.
    long long mTailSize;
    // Bytes handed to the stream since it was positioned; -1 after a failure.
    long long mWritten;
    // The section as text with the separator it was built with, so that lines
    // do not build it again; empty until first used after each new section.
    std::string mSectionText;
    std::string mSectionSeparator;
    // Whether mFilename was found usable as a path (1), not usable (0), or has
    // not been looked at since it was set (-1).
    int mPathUsable;

    bool prepareStream(bool& needLineFeed);
    bool putLine();
    // The logger compares the file name with the one its mutex name was
    // derived from before every record, without copying it.
    friend class ZorvLogger;
    const std::string& sectionText(const std::string& separator);
    bool putPairs(const std::string& section, const std::list<std::pair<TStr, TStr>>& pairs);
};

#endif
