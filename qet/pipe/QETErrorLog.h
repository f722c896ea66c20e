#ifndef QET_ERRORLOG_H
#define QET_ERRORLOG_H

#include <QElapsedTimer>
#include <QHash>
#include <QString>

#include <memory>

class ZorvLogger;

// QET's error records in QET.log in the local user data directory, at most
// kRecordsPerSecond of each code per second: a flood of bad clients would
// otherwise cost a record and a `uname -a` child each and slow every good
// request. The first record of a code written after some were left out says
// how many in its Reason line.
class QETErrorLog {
public:
    static constexpr int kRecordsPerSecond = 3;

    QETErrorLog();
    ~QETErrorLog();
    QETErrorLog(const QETErrorLog&) = delete;
    QETErrorLog& operator=(const QETErrorLog&) = delete;

    // Judges the directory of QET.log as a user data directory (made when
    // missing); when it is refused, says so on stderr, once per process.
    bool directoryUsable();
    void write(int code, const char* file, int line);

private:
    struct Spell {
        qint64 startMs = -1;
        int written = 0;
        long suppressed = 0;
    };

    QHash<int, Spell> mSpells;
    QElapsedTimer mClock;
    std::unique_ptr<ZorvLogger> mLogger;
};

#endif
