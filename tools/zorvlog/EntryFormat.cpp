#include "EntryFormat.h"

#include "Json.h"
#include "SectionTime.h"
#include "TerminalText.h"

#include <cstdio>
#include <sys/utsname.h>

namespace zorvlog {

namespace {

const char* const kKinds[] = {"error", "pairs", "debug", "perf", "text"};

// A value as it reads on a terminal: bare when it is plain, quoted, with
// what a terminal would act on escaped, when it holds blanks, quotes or
// such characters.
void writeValue(TextSink& out, const std::string& value) {
    if (!value.empty() && value.find(' ') == std::string::npos &&
        terminalPlain(value.data(), value.size())) {
        out.appendEscaped(
            value.data(), value.size(),
            [](std::string& to, const char* data, std::size_t size) { to.append(data, size); });
        return;
    }
    out.buffer() += '"';
    out.appendEscaped(value.data(), value.size(),
                      [](std::string& to, const char* data, std::size_t size) {
                          appendForTerminal(to, data, size, true);
                      });
    out.buffer() += '"';
}

const char* const kPerfNames[] = {"os",           "computerName", "utilVersion", "first:second",
                                  "third:fourth", "component",    "fifth"};
const std::size_t kPerfColumns = 7;

std::string padded(const std::string& text, std::size_t width) {
    return text.size() >= width ? text + " " : text + std::string(width - text.size(), ' ');
}

const std::string& machineName() {
    static const std::string name = [] {
        struct utsname names {};
        return ::uname(&names) == 0 ? std::string(names.nodename) : std::string();
    }();
    return name;
}

} // namespace

std::string entryHost(const LogEntry& entry) {
    std::string name;
    if (entry.kind == LogEntry::kError) {
        name = entry.pairs[entry.hasReason ? 1 : 0].second;
    } else if (entry.kind == LogEntry::kPerf && entry.items.size() == kPerfColumns &&
               entry.items[1] != "NA") {
        name = entry.items[1];
    }
    return name.empty() ? machineName() : name;
}

const char* entrySeverity(const LogEntry& entry) {
    switch (entry.kind) {
    case LogEntry::kError:
        return "err";
    case LogEntry::kDebug:
        return "debug";
    case LogEntry::kPerf:
        return "info";
    default:
        return "notice";
    }
}

void writeEntryJson(TextSink& out, const LogEntry& entry, const std::string& source,
                    const std::string& key) {
    JsonWriter json(out);
    json.add("kind", kKinds[entry.kind]).add("source", source);
    json.addRaw("lines",
                "[" + std::to_string(entry.firstLine) + "," + std::to_string(entry.lastLine) + "]");
    if (entry.kind != LogEntry::kText) {
        json.add("pid", entry.pid).add("date", entry.date).add("time", entry.time);
    }
    switch (entry.kind) {
    case LogEntry::kError: {
        // The grouper matched the lines by position: [Reason] ComputerName OS
        // File,Line VendorID VendorError [version]. Reading them by position
        // too keeps a vendor named like one of the keys from being mistaken.
        const auto& pairs = entry.pairs;
        const std::size_t at = entry.hasReason ? 1 : 0;
        json.addOptional("reason", entry.hasReason, entry.hasReason ? pairs[0].second : "");
        json.add("computerName", pairs[at].second).add("os", pairs[at + 1].second);
        json.add("file", pairs[at + 2].second).add("line", pairs[at + 3].second);
        std::string id, name, error, description;
        bool named = splitDescribed(pairs[at + 4].second, id, name);
        json.add("vendorId", id).addOptional("vendorName", named, name);
        bool described = splitDescribed(pairs[at + 5].second, error, description);
        json.add("vendorError", error).addOptional("description", described, description);
        json.addOptional("vendorVersion", entry.hasVersion,
                         entry.hasVersion ? pairs[at + 6].second : "");
        break;
    }
    case LogEntry::kPairs:
        json.addPairs("pairs", entry.pairs);
        break;
    case LogEntry::kDebug:
        json.add("component", entry.items[0]).add("message", entry.items[1]);
        break;
    case LogEntry::kPerf:
        json.addStrings("columns", entry.items);
        if (entry.items.size() == kPerfColumns) {
            json.add("os", entry.items[0])
                .add("computerName", entry.items[1])
                .add("utilVersion", entry.items[2]);
            // "first:second": a colon inside a value cannot be told apart, so
            // the first colon divides.
            const char* names[][2] = {{"first", "second"}, {"third", "fourth"}};
            for (int k = 0; k < 2; ++k) {
                const std::string& joined = entry.items[3 + k];
                std::string::size_type colon = joined.find(':');
                json.add(names[k][0], joined.substr(0, colon))
                    .add(names[k][1],
                         colon == std::string::npos ? std::string() : joined.substr(colon + 1));
            }
            json.add("component", entry.items[5]).add("fifth", entry.items[6]);
        }
        break;
    case LogEntry::kText:
        json.add("text", entry.text);
        break;
    }
    std::string timestamp;
    if (entry.kind != LogEntry::kText) {
        timestamp = sectionTimestamp(entry.date, entry.time);
    }
    json.addOptional("timestamp", !timestamp.empty(), timestamp);
    json.add("host", entryHost(entry)).add("severity", entrySeverity(entry));
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
    return padded("LINES", 8) + padded("PID", 8) + padded("DATE", 11) + padded("TIME", 13) +
           padded("KIND", 6) + "CONTENT";
}

void writeEntryRow(TextSink& out, const LogEntry& entry) {
    std::string lines = std::to_string(entry.firstLine);
    if (entry.lastLine != entry.firstLine) {
        lines += "-" + std::to_string(entry.lastLine);
    }
    // The section's fields are digits and separators (RecordGrouper.cpp).
    out.buffer() += padded(lines, 8) + padded(entry.pid, 8) + padded(entry.date, 11) +
                    padded(entry.time, 13) + padded(kKinds[entry.kind], 6);
    bool first = true;
    auto field = [&](const std::string& key, const std::string& value) {
        out.buffer() += first ? "" : " ";
        first = false;
        out.appendEscaped(key.data(), key.size(),
                          [](std::string& to, const char* data, std::size_t size) {
                              appendForTerminal(to, data, size, false);
                          });
        out.buffer() += '=';
        writeValue(out, value);
    };
    switch (entry.kind) {
    case LogEntry::kError:
    case LogEntry::kPairs:
        for (const auto& pair : entry.pairs) {
            field(pair.first, pair.second);
        }
        break;
    case LogEntry::kDebug:
        field("component", entry.items[0]);
        field("message", entry.items[1]);
        break;
    case LogEntry::kPerf:
        if (entry.items.size() == kPerfColumns) {
            for (std::size_t k = 0; k < kPerfColumns; ++k) {
                field(kPerfNames[k], entry.items[k]);
            }
        } else {
            for (std::size_t k = 0; k < entry.items.size(); ++k) {
                field("column" + std::to_string(k + 4), entry.items[k]);
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
