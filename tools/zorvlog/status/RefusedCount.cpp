#include "status/RefusedCount.h"

#include "cli/ArgParser.h"
#include "follow/GenerationOpen.h"

#include "LockPlace.h"
#include "RefusalCount.h"
#include "SystemCalls.h"

#include <ctime>
#include <unistd.h>

namespace zorvlog {

std::string isoTime(std::int64_t seconds) {
    const std::time_t t = static_cast<std::time_t>(seconds);
    struct tm utc {};
    char text[32];
    if (::gmtime_r(&t, &utc) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
        return std::string();
    }
    return text;
}

RefusedReport refusedReport(const std::string& logPath, const std::string& user) {
    uid_t owner = ::geteuid();
    std::string why;
    std::string lockDir;
    if (!user.empty()) {
        const long uid = ownerUid(user);
        if (uid < 0) {
            throw UsageError("--user " + user + ": no such user");
        }
        if (static_cast<uid_t>(uid) != owner && owner != 0) {
            throw UsageError("--user: only root may read another user's count");
        }
        owner = static_cast<uid_t>(uid);
        lockDir = zorv_detail::lockDirectoryOf(owner, &why);
    } else {
        lockDir = zorv_detail::lockDirectory(&why);
    }
    zorv_detail::RefusalTally tally;
    std::string problem;
    const bool read =
        !lockDir.empty() && zorv_detail::readRefusals(lockDir, logPath, owner, tally, &problem);
    const char* reason = zorv_detail::refusalWord(tally.reason);
    const std::string last = tally.last > 0 ? isoTime(tally.last) : std::string();

    RefusedReport report;
    report.json.add("count", static_cast<long>(tally.count))
        .addOptional("last", !last.empty(), last)
        .addOptional("reason", reason != nullptr, reason != nullptr ? reason : "");
    const std::string covers =
        "every log named " + std::string(zorv_detail::lastComponentOf(logPath));
    if (lockDir.empty()) {
        report.text = "not counted: no lock place (" + why + ")";
    } else if (!read) {
        report.text = "not counted in " + lockDir + ": " + problem;
    } else {
        report.text = std::to_string(tally.count) + " in " + lockDir + ", for " + covers;
        if (tally.count > 0) {
            report.text += "; the last at " + last + " (" + (reason != nullptr ? reason : "?") +
                           ", see the troubleshooting guide)";
        }
    }
    return report;
}

} // namespace zorvlog
