#include "QETErrorLog.h"

#include "DirectoryPolicy.h"
#include "QetFiles.h"
#include "qet/QETBoundedWait.h"

#include <zorv/ZorvErrorBase.h>
#include <zorv/ZorvLogger.h>
#include <zorv/ZorvUtil.h>

#include <atomic>
#include <cstdio>
#include <string>

namespace {

// The QET and protocol version that error records carry.
const char* const kVendorVersion = QET_VERSION_TEXT;
constexpr qint64 kSpellMs = 1000;
// rwxrwx---, as the library makes the directory for its own logs.
constexpr mode_t kDataDirectoryMode = 0770;

// Once per process: every server of it writes to the same directory.
std::atomic<bool> sRefusalReported(false);

} // namespace

QETErrorLog::QETErrorLog() {
    mClock.start();
}

QETErrorLog::~QETErrorLog() = default;

bool QETErrorLog::directoryUsable() {
    const std::string dir = ZorvUtil::getZorvLocalUserDataLocation().bytes();
    std::string why = "cannot be had";
    if (!dir.empty() && zorv_detail::prepareDirectory(dir, zorv_detail::DirectoryUse::Logs,
                                                      kDataDirectoryMode, &why)) {
        return true;
    }
    if (!sRefusalReported.exchange(true)) {
        std::fprintf(stderr, "QET: no error records in %s: the directory %s\n",
                     dir.empty() ? zorv_detail::kQetErrorLogName : dir.c_str(), why.c_str());
        std::fflush(stderr);
    }
    return false;
}

void QETErrorLog::write(int code, const char* file, int line) {
    Spell& spell = mSpells[code];
    const qint64 now = mClock.elapsed();
    if (spell.startMs < 0 || now - spell.startMs >= kSpellMs) {
        spell.startMs = now;
        spell.written = 0;
    }
    if (spell.written >= kRecordsPerSecond) {
        ++spell.suppressed;
        return;
    }
    ++spell.written;
    if (!directoryUsable()) {
        return;
    }
    if (!mLogger) {
        // Our own logger, so that the process-wide default one stays free for
        // the application; the table is read once, here.
        mLogger.reset(new QETBoundedWait<ZorvLogger>(true));
    }
    const std::string dir = ZorvUtil::getZorvLocalUserDataLocation().bytes();
    mLogger->setLogFileName(TStr(dir + "/" + zorv_detail::kQetErrorLogName));
    mLogger->startLogging();
    ZorvErrorBase record(Zorv::kZorvQet, code, TStr(file), line, TStr(kVendorVersion));
    if (spell.suppressed > 0) {
        record.setReason(TStr(std::string(ZorvErrorBase::REASON_FATAL_ERROR) + " (" +
                              std::to_string(spell.suppressed) +
                              " more of this error left out since the last record)"));
        spell.suppressed = 0;
    }
    mLogger->log(record);
}
