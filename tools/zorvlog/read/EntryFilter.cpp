#include "read/EntryFilter.h"

#include "LineFormat.h"
#include "output/EntryFormat.h"
#include "read/SectionTime.h"
#include "read/TimeArgument.h"

#include <regex.h>

namespace zorvlog {

namespace {

// A whole decimal number in text, or -1 (nothing in a section or a record's
// numbers is that long).
long long numberIn(std::string_view text) {
    if (text.empty() || text.size() > 18) {
        return -1;
    }
    const bool negative = text[0] == '-';
    long long value = 0;
    for (std::size_t i = negative ? 1 : 0; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
}

// An error record's VendorID or VendorError number: the text before the
// table's description.
bool describedNumber(std::string_view value, long long wanted) {
    std::string_view number, description;
    zorv_detail::splitDescribed(value, number, description);
    return !number.empty() && (number[0] != '-' || number.size() > 1) && numberIn(number) == wanted;
}

} // namespace

struct EntryFilter::Conditions {
    unsigned kinds = 0; // bits of LogEntry::Kind; 0: any
    bool hasSince = false, hasUntil = false;
    std::int64_t sinceMs = 0, untilMs = 0;
    bool hasPid = false, hasVendor = false, hasCode = false;
    long long pid = 0, vendor = 0, code = 0;
    bool hasRegex = false;
    regex_t regex{};
    SectionClock clock;

    ~Conditions() {
        if (hasRegex) {
            regfree(&regex);
        }
    }
};

EntryFilter::EntryFilter() : mConditions(std::make_unique<Conditions>()) {}
EntryFilter::~EntryFilter() = default;
EntryFilter::EntryFilter(EntryFilter&&) noexcept = default;
EntryFilter& EntryFilter::operator=(EntryFilter&&) noexcept = default;

std::vector<ArgParser::Option> EntryFilter::options() {
    return {{"since", true},  {"until", true}, {"kind", true}, {"pid", true},
            {"vendor", true}, {"code", true},  {"grep", true}};
}

EntryFilter EntryFilter::fromOptions(const ArgParser& parser, std::int64_t now) {
    EntryFilter filter;
    Conditions& c = *filter.mConditions;
    for (const char* name : {"since", "until"}) {
        if (!parser.has(name)) {
            continue;
        }
        std::int64_t seconds = 0;
        if (!parseTimeArgument(parser.value(name), now, seconds)) {
            throw UsageError(std::string("--") + name + " '" + parser.value(name) +
                             "' is not a time: " + kTimeForms);
        }
        const bool since = name[0] == 's';
        (since ? c.hasSince : c.hasUntil) = true;
        // Both ends included: --until takes in its whole second.
        (since ? c.sinceMs : c.untilMs) = seconds * 1000 + (since ? 0 : 999);
    }
    if (parser.has("kind")) {
        const std::string list = parser.value("kind") + ",";
        for (std::size_t from = 0, comma; (comma = list.find(',', from)) != std::string::npos;
             from = comma + 1) {
            const std::string kind = list.substr(from, comma - from);
            int found = -1;
            for (int k = LogEntry::kError; k <= LogEntry::kText; ++k) {
                found = kind == entryKindName(static_cast<LogEntry::Kind>(k)) ? k : found;
            }
            if (found < 0) {
                throw UsageError("--kind '" + kind +
                                 "' is no kind of entry: give error, debug, perf, pairs or "
                                 "text (several joined by commas)");
            }
            c.kinds |= 1u << found;
        }
    }
    if (parser.has("pid")) {
        c.hasPid = true;
        c.pid = parser.number("pid");
    }
    if (parser.has("vendor")) {
        c.hasVendor = true;
        c.vendor = parseVendor(parser.value("vendor"));
    }
    if (parser.has("code")) {
        c.hasCode = true;
        c.code = parser.number("code");
    }
    if (parser.has("grep")) {
        const int failed =
            regcomp(&c.regex, parser.value("grep").c_str(), REG_EXTENDED | REG_NOSUB | REG_NEWLINE);
        if (failed != 0) {
            char why[256];
            regerror(failed, &c.regex, why, sizeof why);
            regfree(&c.regex);
            throw UsageError("--grep '" + parser.value("grep") +
                             "' is not a regular expression: " + why);
        }
        c.hasRegex = true;
    }
    return filter;
}

bool EntryFilter::empty() const {
    const Conditions& c = *mConditions;
    return c.kinds == 0 && !c.hasSince && !c.hasUntil && !c.hasPid && !c.hasVendor && !c.hasCode &&
           !c.hasRegex;
}

bool EntryFilter::matches(const LogEntry& entry) const {
    Conditions& c = *mConditions;
    if (c.kinds != 0 && (c.kinds & (1u << entry.kind)) == 0) {
        return false;
    }
    if (c.hasPid && (entry.kind == LogEntry::kText || numberIn(entry.pid()) != c.pid)) {
        return false;
    }
    if (c.hasVendor || c.hasCode) {
        if (entry.kind != LogEntry::kError ||
            (c.hasVendor && !describedNumber(entry.errorValue(LogEntry::kVendorId), c.vendor)) ||
            (c.hasCode && !describedNumber(entry.errorValue(LogEntry::kVendorError), c.code))) {
            return false;
        }
    }
    if (c.hasSince || c.hasUntil) {
        SectionInstant at;
        if (entry.kind == LogEntry::kText ||
            !c.clock.sectionInstant(entry.date(), entry.time(), at) ||
            (c.hasSince && at.ms < c.sinceMs) || (c.hasUntil && at.ms > c.untilMs)) {
            return false;
        }
    }
    if (c.hasRegex) {
        regmatch_t range{};
        range.rm_so = 0;
        range.rm_eo = static_cast<regoff_t>(entry.text.size());
        if (regexec(&c.regex, entry.text.c_str(), 1, &range, REG_STARTEND) != 0) {
            return false;
        }
    }
    return true;
}

} // namespace zorvlog
