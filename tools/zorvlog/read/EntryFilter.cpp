#include "read/EntryFilter.h"

#include "LineFormat.h"
#include "output/EntryFormat.h"
#include "read/SectionTime.h"
#include "read/TimeArgument.h"

#include <re2/re2.h>

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

// The memory a pattern may take, its automata included: enough for any
// pattern a person types, and a bound on those that are not (nested counted
// repeats grow by their product).
const int64_t kPatternMemory = 8 << 20;

// A --grep pattern in RE2's language, which matches in time linear in the
// text: no back-references or look-arounds. An entry's lines are matched
// together; "." never takes a line break, and "^" and "$" match at each
// line's start and end, as they did when the lines were matched alone.
std::unique_ptr<re2::RE2> compilePattern(const std::string& pattern, bool ignoreCase) {
    re2::RE2::Options options;
    options.set_log_errors(false);
    options.set_max_mem(kPatternMemory);
    options.set_case_sensitive(!ignoreCase);
    auto regex = std::make_unique<re2::RE2>("(?m)" + pattern, options);
    if (regex->ok()) {
        return regex;
    }
    const bool tooLarge = regex->error_code() == re2::RE2::ErrorPatternTooLarge ||
                          regex->error_code() == re2::RE2::ErrorRepeatSize;
    throw UsageError("--grep '" + pattern + "' is not a pattern " +
                     (tooLarge ? "that can be matched in bounded memory: " + regex->error()
                               : "of RE2's language (no back-references): " + regex->error()));
}

// A priority by syslog's name or its number, -1 when it is neither.
int priorityOf(const std::string& text) {
    int number = -1;
    if (parseInt(text, number)) {
        return number >= 0 && number <= 7 ? number : -1;
    }
    for (int p = 0; p <= 7; ++p) {
        if (text == priorityName(p)) {
            return p;
        }
    }
    return -1;
}

// The priorities --priority takes in, as journalctl reads it: one priority
// stands for itself and the more important ones (the lower numbers);
// FROM..TO for the range, in either order.
unsigned priorityRange(const std::string& text) {
    const std::string::size_type dots = text.find("..");
    int from = dots == std::string::npos ? 0 : priorityOf(text.substr(0, dots));
    int to = priorityOf(dots == std::string::npos ? text : text.substr(dots + 2));
    if (from < 0 || to < 0) {
        throw UsageError("--priority '" + text +
                         "' is no priority: give emerg, alert, crit, err, warning, notice, info "
                         "or debug, or 0 to 7, or a range FROM..TO");
    }
    if (from > to) {
        std::swap(from, to);
    }
    unsigned bits = 0;
    for (int p = from; p <= to; ++p) {
        bits |= 1u << p;
    }
    return bits;
}

} // namespace

struct EntryFilter::Conditions {
    unsigned kinds = 0;      // bits of LogEntry::Kind; 0: any
    unsigned priorities = 0; // bits of the priorities 0 to 7; 0: any
    bool hasSince = false, hasUntil = false;
    std::int64_t sinceMs = 0, untilMs = 0;
    bool hasPid = false, hasVendor = false, hasCode = false;
    long long pid = 0, vendor = 0, code = 0;
    std::unique_ptr<re2::RE2> regex;
    SectionClock clock;
};

EntryFilter::EntryFilter() : mConditions(std::make_unique<Conditions>()) {}
EntryFilter::~EntryFilter() = default;
EntryFilter::EntryFilter(EntryFilter&&) noexcept = default;
EntryFilter& EntryFilter::operator=(EntryFilter&&) noexcept = default;

std::vector<ArgParser::Option> EntryFilter::options() {
    return {{"since", true},
            {"until", true},
            {"kind", true},
            {"priority", true, false, 'p'},
            {"pid", true},
            {"vendor", true},
            {"code", true},
            {"grep", true},
            {"ignore-case", false, false, 'i'}};
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
    if (parser.has("priority")) {
        c.priorities = priorityRange(parser.value("priority"));
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
        c.regex = compilePattern(parser.value("grep"), parser.has("ignore-case"));
    } else if (parser.has("ignore-case")) {
        throw UsageError("-i, --ignore-case goes with --grep");
    }
    return filter;
}

bool EntryFilter::empty() const {
    const Conditions& c = *mConditions;
    return c.kinds == 0 && c.priorities == 0 && !c.hasSince && !c.hasUntil && !c.hasPid &&
           !c.hasVendor && !c.hasCode && !c.regex;
}

bool EntryFilter::matches(const LogEntry& entry) const {
    Conditions& c = *mConditions;
    if (c.kinds != 0 && (c.kinds & (1u << entry.kind)) == 0) {
        return false;
    }
    if (c.priorities != 0 && (c.priorities & (1u << entryPriority(entry.kind))) == 0) {
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
    if (c.regex && !re2::RE2::PartialMatch(entry.text, *c.regex)) {
        return false;
    }
    return true;
}

} // namespace zorvlog
