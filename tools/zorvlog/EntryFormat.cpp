#include "EntryFormat.h"

#include "SectionTime.h"
#include "Utf8.h"

#include <cstdio>
#include <sys/utsname.h>

namespace zorvlog {

namespace {

const char* const kKinds[] = {"error", "pairs", "debug", "perf", "text"};

// A value as it reads on a terminal: bare when it is plain, quoted with C
// escapes when it holds blanks, quotes, control characters or bad bytes.
std::string display(const std::string& value) {
    bool plain = !value.empty() && zorv_detail::isValidUtf8(value);
    for (char c : value) {
        if (c == ' ' || c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) {
            plain = false;
        }
    }
    if (plain) {
        return value;
    }
    std::string out = "\"";
    for (std::size_t i = 0; i < value.size();) {
        std::size_t length = zorv_detail::utf8SequenceLength(value, i);
        unsigned char c = static_cast<unsigned char>(value[i]);
        if (length == 0) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
            ++i;
            continue;
        }
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out.append(value, i, length);
        }
        i += length;
    }
    return out + "\"";
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

Json entryJson(const LogEntry& entry, const std::string& source) {
    Json json;
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
    case LogEntry::kPairs: {
        std::vector<std::string> pairs;
        for (const auto& pair : entry.pairs) {
            pairs.push_back(Json().add("key", pair.first).add("value", pair.second).str());
        }
        json.addRaw("pairs", Json::array(pairs));
        break;
    }
    case LogEntry::kDebug:
        json.add("component", entry.items[0]).add("message", entry.items[1]);
        break;
    case LogEntry::kPerf:
        json.addRaw("columns", Json::stringArray(entry.items));
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
    return json;
}

std::string tableHeading() {
    return padded("LINES", 8) + padded("PID", 8) + padded("DATE", 11) + padded("TIME", 13) +
           padded("KIND", 6) + "CONTENT";
}

std::string entryRow(const LogEntry& entry) {
    std::string lines = std::to_string(entry.firstLine);
    if (entry.lastLine != entry.firstLine) {
        lines += "-" + std::to_string(entry.lastLine);
    }
    std::string row = padded(lines, 8) + padded(entry.pid, 8) + padded(entry.date, 11) +
                      padded(entry.time, 13) + padded(kKinds[entry.kind], 6);
    std::string content;
    auto field = [&content](const std::string& key, const std::string& value) {
        content += content.empty() ? "" : " ";
        content += key + "=" + display(value);
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
        content = display(entry.text);
        break;
    }
    return row + content;
}

} // namespace zorvlog
