#include "output/EntryFormat.h"

#include "LineFormat.h"
#include "output/Json.h"
#include "output/PlainText.h"
#include "output/TerminalText.h"
#include "read/SectionTime.h"

#include <sys/utsname.h>

namespace zorvlog {

namespace {

using zorv_detail::kPerfColumnCount;
using zorv_detail::PerfColumn;

// Names measured once: every entry prints two of them.
constexpr std::string_view kKinds[] = {"error", "pairs", "debug", "perf", "text"};
constexpr std::string_view kPriorityNames[] = {"emerg",   "alert",  "crit", "err",
                                               "warning", "notice", "info", "debug"};

// "a-b", "a" when the entry is one line, "-" when the lines are not known.
void appendLines(TextBuffer& out, const LogEntry& entry) {
    if (entry.firstLine == 0) {
        out += '-';
        return;
    }
    out.appendDecimal(entry.firstLine);
    if (entry.lastLine != entry.firstLine) {
        out += '-';
        out.appendDecimal(entry.lastLine);
    }
}

// The text and blanks up to width (one at least). The widths are the
// table's own, known where this is made part of its caller: the blanks are
// laid in one move and the text over them.
[[gnu::always_inline]] inline void appendPadded(TextBuffer& out, std::string_view text,
                                                std::size_t width) {
    if (text.size() < width) {
        char* at = out.extend(width);
        std::memset(at, ' ', width);
        TextBuffer::copy(at, text.data(), text.size());
        return;
    }
    out += text;
    out += ' ';
}

// A value as it reads on a terminal: bare when it is plain, quoted, with
// what a terminal would act on escaped, when it holds blanks, quotes or
// such characters.
void writeValue(TextSink& out, std::string_view value) {
    bool blank = false;
    if (plainRun(value.data(), value.size(), false, &blank) == value.size()) {
        // Printable ASCII without quotes or backslashes: nothing to escape.
        const bool bare = !value.empty() && !blank;
        TextBuffer& text = out.buffer();
        if (value.size() < TextSink::kBlock) {
            if (!bare) {
                text += '"';
            }
            text += value;
            if (!bare) {
                text += '"';
            }
            return;
        }
    }
    if (!value.empty() && value.find(' ') == std::string_view::npos &&
        terminalPlain(value.data(), value.size())) {
        out.appendEscaped(
            value.data(), value.size(),
            [](TextBuffer& to, const char* data, std::size_t size) { to.append(data, size); });
        return;
    }
    out.buffer() += '"';
    out.appendEscaped(value.data(), value.size(),
                      [](TextBuffer& to, const char* data, std::size_t size) {
                          appendForTerminal(to, data, size, true);
                      });
    out.buffer() += '"';
}

const std::string& machineName() {
    static const std::string name = [] {
        struct utsname names {};
        return ::uname(&names) == 0 ? std::string(names.nodename) : std::string();
    }();
    return name;
}

// A perf row's measurement pair, "first:second": a joiner inside a value
// cannot be told apart, so the first one divides.
void addMeasurements(JsonWriter& json, std::string_view joined, const char* first,
                     const char* second) {
    const std::size_t at = joined.find(zorv_detail::kPerfPairJoiner);
    json.addNumeric(first, joined.substr(0, at));
    json.addNumeric(second,
                    at == std::string_view::npos ? std::string_view() : joined.substr(at + 1));
}

} // namespace

const char* entryKindName(LogEntry::Kind kind) {
    return kKinds[kind].data();
}

std::string_view entryHost(const LogEntry& entry) {
    std::string_view name;
    if (entry.kind == LogEntry::kError) {
        name = entry.errorValue(LogEntry::kComputerName);
    } else if (entry.kind == LogEntry::kPerf && entry.itemCount() == kPerfColumnCount &&
               entry.item(zorv_detail::kPerfComputerName) != zorv_detail::kNotAvailable) {
        name = entry.item(zorv_detail::kPerfComputerName);
    }
    return name.empty() ? std::string_view(machineName()) : name;
}

int entryPriority(LogEntry::Kind kind) {
    switch (kind) {
    case LogEntry::kError:
        return 3;
    case LogEntry::kPerf:
        return 6;
    case LogEntry::kDebug:
        return 7;
    default:
        return 5;
    }
}

const char* priorityName(int priority) {
    return kPriorityNames[priority].data();
}

const char* entrySeverity(const LogEntry& entry) {
    return priorityName(entryPriority(entry.kind));
}

void writeEntryJson(TextSink& out, const LogEntry& entry, std::string_view source,
                    SectionClock& clock, std::string_view key) {
    JsonWriter json(out);
    json.addPlain("kind", kKinds[entry.kind]).add("source", source);
    if (entry.firstLine == 0) {
        json.addNull("lines");
    } else {
        TextBuffer& text = json.key("lines");
        text += '[';
        text.appendDecimal(entry.firstLine);
        text += ',';
        text.appendDecimal(entry.lastLine);
        text += ']';
    }
    if (entry.kind != LogEntry::kText) {
        // The section's fields are digits and joiners (zorvshared/LineFormat.h).
        json.addNumeric("pid", entry.pid())
            .addPlain("date", entry.date())
            .addPlain("time", entry.time());
    }
    switch (entry.kind) {
    case LogEntry::kError: {
        // The grouper matched the lines by position: [Reason] ComputerName OS
        // File,Line VendorID VendorError [version]. Reading them by position
        // too keeps a vendor named like one of the keys from being mistaken.
        json.addOptional("reason", entry.hasReason, entry.hasReason ? entry.value(0) : "");
        json.add("computerName", entry.errorValue(LogEntry::kComputerName))
            .add("os", entry.errorValue(LogEntry::kOs));
        json.add("file", entry.errorValue(LogEntry::kFile))
            .addNumeric("line", entry.errorValue(LogEntry::kLine));
        std::string_view id, name, error, description;
        const bool named =
            zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorId), id, name);
        json.addNumeric("vendorId", id).addOptional("vendorName", named, name);
        const bool described = zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorError),
                                                           error, description);
        json.addNumeric("vendorError", error).addOptional("description", described, description);
        json.addOptional("vendorVersion", entry.hasVersion,
                         entry.hasVersion ? entry.errorValue(LogEntry::kVersion) : "");
        break;
    }
    case LogEntry::kPairs: {
        TextBuffer& text = json.key("pairs");
        text += '[';
        for (std::size_t i = 0; i < entry.pairCount(); ++i) {
            out.buffer() += i > 0 ? ",{\"key\":" : "{\"key\":";
            json.string(entry.key(i));
            out.buffer() += ",\"value\":";
            json.string(entry.value(i));
            out.buffer() += '}';
        }
        out.buffer() += ']';
        break;
    }
    case LogEntry::kDebug:
        json.add("component", entry.item(zorv_detail::kDebugComponent))
            .add("message", entry.item(zorv_detail::kDebugMessage));
        break;
    case LogEntry::kPerf:
        json.key("columns") += '[';
        for (std::size_t i = 0; i < entry.itemCount(); ++i) {
            if (i > 0) {
                out.buffer() += ',';
            }
            json.string(entry.item(i));
        }
        out.buffer() += ']';
        if (entry.itemCount() == kPerfColumnCount) {
            json.add("os", entry.item(zorv_detail::kPerfOs))
                .add("computerName", entry.item(zorv_detail::kPerfComputerName))
                .add("utilVersion", entry.item(zorv_detail::kPerfUtilVersion));
            addMeasurements(json, entry.item(zorv_detail::kPerfFirstSecond), "first", "second");
            addMeasurements(json, entry.item(zorv_detail::kPerfThirdFourth), "third", "fourth");
            json.add("component", entry.item(zorv_detail::kPerfComponent))
                .addNumeric("fifth", entry.item(zorv_detail::kPerfFifth));
        }
        break;
    case LogEntry::kText:
        json.add("text", entry.text);
        break;
    }
    char text[kTimestampSize + 2];
    const std::size_t length =
        entry.kind != LogEntry::kText ? clock.timestamp(entry.date(), entry.time(), text + 1) : 0;
    if (length > 0) {
        text[0] = '"';
        text[length + 1] = '"';
        json.key("timestamp").append(text, length + 2);
    } else {
        json.addNull("timestamp");
    }
    json.add("host", entryHost(entry))
        .addPlain("severity", kPriorityNames[entryPriority(entry.kind)]);
    if (entry.truncated) {
        json.addBool("truncated", true);
    }
    if (!key.empty()) {
        json.add("key", key);
    }
    json.end();
}

std::string truncationNote(const LogEntry& entry) {
    return "the record at byte " + std::to_string(entry.offset) +
           " is longer than 16 MiB and was cut";
}

std::string tableHeading() {
    TextBuffer heading;
    appendPadded(heading, "LINES", 8);
    appendPadded(heading, "PID", 8);
    appendPadded(heading, "DATE", 11);
    appendPadded(heading, "TIME", 13);
    appendPadded(heading, "KIND", 6);
    heading += "CONTENT";
    return std::string(heading.view());
}

void writeEntryRow(TextSink& out, const LogEntry& entry) {
    TextBuffer& row = out.buffer();
    const std::size_t start = row.size();
    appendLines(row, entry);
    row.append(row.size() - start >= 8 ? 1 : 8 - (row.size() - start), ' ');
    // The section's fields are digits and separators (zorvshared/LineFormat.h).
    appendPadded(row, entry.pid(), 8);
    appendPadded(row, entry.date(), 11);
    appendPadded(row, entry.time(), 13);
    appendPadded(row, kKinds[entry.kind], 6);
    writeEntryContent(out, entry);
}

void writeEntryContent(TextSink& out, const LogEntry& entry) {
    bool first = true;
    // A key of the file's own is shown as a terminal may take it; the
    // program's own names are plain (ownKey).
    auto field = [&](std::string_view key, std::string_view value, bool ownKey = false) {
        if (!first) {
            out.buffer() += ' ';
        }
        first = false;
        if (ownKey || (plainRun(key.data(), key.size(), true) == key.size() &&
                       key.size() < TextSink::kBlock)) {
            out.buffer() += key;
        } else {
            out.appendEscaped(key.data(), key.size(),
                              [](TextBuffer& to, const char* data, std::size_t size) {
                                  appendForTerminal(to, data, size, false);
                              });
        }
        out.buffer() += '=';
        writeValue(out, value);
    };
    switch (entry.kind) {
    case LogEntry::kError:
    case LogEntry::kPairs:
        for (std::size_t i = 0; i < entry.pairCount(); ++i) {
            field(entry.key(i), entry.value(i));
        }
        break;
    case LogEntry::kDebug:
        field("component", entry.item(zorv_detail::kDebugComponent), true);
        field("message", entry.item(zorv_detail::kDebugMessage), true);
        break;
    case LogEntry::kPerf:
        if (entry.itemCount() == kPerfColumnCount) {
            for (std::size_t k = 0; k < kPerfColumnCount; ++k) {
                field(zorv_detail::kPerfColumnNames[k], entry.item(k), true);
            }
        } else {
            for (std::size_t k = 0; k < entry.itemCount(); ++k) {
                field("column" + std::to_string(k + 4), entry.item(k), true);
            }
        }
        break;
    case LogEntry::kText:
        writeValue(out, entry.text);
        break;
    }
    if (entry.truncated) {
        out.buffer() += " (cut)";
    }
}

} // namespace zorvlog
