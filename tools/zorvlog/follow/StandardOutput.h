#ifndef ZORVLOG_STANDARDOUTPUT_H
#define ZORVLOG_STANDARDOUTPUT_H

#include "follow/RecordOutput.h"
#include "output/EntryFormat.h"
#include "output/OutputMode.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace zorvlog {

class ServiceNotify;
class StopSignals;

// Standard output as follow's output: the records of a batch formatted into
// one buffer (in the mode the command line chose) and written at once. A
// stop while the reader takes nothing ends the write between two records,
// never inside one.
class StandardOutput : public RecordOutput {
public:
    // `headings`: a "==> LOGFILE <==" line before the records of each log in
    // turn, where several are followed. The short mode's table heading is
    // taken at once: handed over by the first handOver().
    StandardOutput(OutputMode mode, bool headings, StopSignals& signals, ServiceNotify& notify);

    bool take(const LogEntry& entry, std::string_view source, std::string_view key) override;
    bool handOver() override;
    std::string why() const override { return mWhy; }

private:
    void clear();

    OutputMode mMode;
    bool mHeadings, mMayBlock = false;
    StopSignals& mSignals;
    ServiceNotify& mNotify;
    std::string mBatch;
    StringSink mSink{mBatch};
    std::vector<std::size_t> mEnds; // where each record's bytes end in the batch
    SectionClock mClock;
    std::string mLastSource, mWhy;
};

} // namespace zorvlog

#endif
