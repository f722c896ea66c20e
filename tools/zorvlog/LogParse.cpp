#include "LogParse.h"

#include "ArgParser.h"
#include "Json.h"
#include "Utf8.h"

#include <cstdio>
#include <fstream>
#include <iostream>

namespace zorvlog {

namespace {

using Entry = LogParse::Entry;

std::size_t digitsAt(const std::string& s, std::size_t pos, bool allowMinus) {
    std::size_t start = pos;
    if (allowMinus && pos < s.size() && s[pos] == '-') {
        ++pos;
    }
    std::size_t digits = pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        ++pos;
    }
    return pos == digits ? 0 : pos - start;
}

// n fields of digits joined by `joiner`; returns the length matched or 0.
std::size_t numberGroup(const std::string& s, std::size_t pos, char joiner, int n) {
    std::size_t start = pos;
    for (int i = 0; i < n; ++i) {
        if (i > 0) {
            if (pos >= s.size() || s[pos] != joiner) {
                return 0;
            }
            ++pos;
        }
        std::size_t len = digitsAt(s, pos, true);
        if (len == 0) {
            return 0;
        }
        pos += len;
    }
    return pos - start;
}

// Matches "pid S date S time S" at the start of a line, the separator S being
// a tab or a comma, the same all three times. Returns where the payload
// starts, or 0 when the line does not start with a section.
std::size_t matchSection(const std::string& line, Entry& entry, char& separator) {
    std::size_t pos = digitsAt(line, 0, false);
    if (pos == 0 || pos >= line.size() || (line[pos] != '\t' && line[pos] != ',')) {
        return 0;
    }
    separator = line[pos];
    entry.pid = line.substr(0, pos);
    ++pos;
    std::size_t len = numberGroup(line, pos, '/', 3);
    if (len == 0 || pos + len >= line.size() || line[pos + len] != separator) {
        return 0;
    }
    entry.date = line.substr(pos, len);
    pos += len + 1;
    len = numberGroup(line, pos, ':', 3);
    if (len == 0) {
        return 0;
    }
    std::size_t end = pos + len;
    if (end < line.size() && line[end] == ':') {
        // Milliseconds: digits, or none at all for a negative reading.
        ++end;
        while (end < line.size() && line[end] >= '0' && line[end] <= '9') {
            ++end;
        }
    }
    if (end >= line.size() || line[end] != separator) {
        return 0;
    }
    entry.time = line.substr(pos, end - pos);
    return end + 1;
}

std::vector<std::string> splitAt(const std::string& text, char separator) {
    std::vector<std::string> pieces;
    std::string::size_type start = 0;
    for (;;) {
        std::string::size_type end = text.find(separator, start);
        if (end == std::string::npos) {
            pieces.push_back(text.substr(start));
            return pieces;
        }
        pieces.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// A piece without "=" cannot be a pair of its own: it is the rest of the
// previous value after a comma that the value held.
void splitPairs(const std::string& payload, Entry& entry) {
    for (const std::string& piece : splitAt(payload, ',')) {
        std::string::size_type eq = piece.find('=');
        if (eq == std::string::npos && !entry.pairs.empty()) {
            entry.pairs.back().second += "," + piece;
        } else if (eq == std::string::npos) {
            entry.pairs.emplace_back(piece, "");
        } else {
            entry.pairs.emplace_back(piece.substr(0, eq), piece.substr(eq + 1));
        }
    }
}

void classify(const std::string& payload, char separator, Entry& entry) {
    bool items = !payload.empty() && payload.back() == separator;
    std::string body = items ? payload.substr(0, payload.size() - 1) : payload;
    if (separator == ',') {
        entry.kind = Entry::kPerf;
        entry.items = splitAt(body, ',');
    } else if (items) {
        // A component name never holds a tab, so every further tab belongs
        // to the message.
        entry.kind = Entry::kDebug;
        std::string::size_type tab = body.find('\t');
        entry.items.push_back(body.substr(0, tab));
        entry.items.push_back(tab == std::string::npos ? std::string() : body.substr(tab + 1));
    } else {
        entry.kind = Entry::kPairs;
        splitPairs(payload, entry);
    }
}

bool sameSection(const Entry& a, const Entry& b) {
    return a.pid == b.pid && a.date == b.date && a.time == b.time;
}

bool singlePair(const Entry& e, const char* key) {
    return e.kind == Entry::kPairs && e.pairs.size() == 1 && e.pairs[0].first == key;
}

// "3 [N]" into "3" and "N"; false when there are no brackets.
bool splitDescribed(const std::string& value, std::string& text, std::string& description) {
    std::string::size_type open = value.find(" [");
    if (open == std::string::npos || value.empty() || value.back() != ']') {
        text = value;
        description.clear();
        return false;
    }
    text = value.substr(0, open);
    description = value.substr(open + 2, value.size() - open - 3);
    return true;
}

// The lines of one error record: [Reason] ComputerName OS File,Line VendorID
// VendorError [vendor name=version], all under one section. Returns how many
// entries from `at` form one, or 0.
std::size_t errorRecordAt(const std::vector<Entry>& entries, std::size_t at) {
    std::size_t i = at;
    auto next = [&](const char* key) {
        if (i < entries.size() && singlePair(entries[i], key) &&
            sameSection(entries[i], entries[at])) {
            ++i;
            return true;
        }
        return false;
    };
    next("Reason");
    if (!next("ComputerName") || !next("OS")) {
        return 0;
    }
    if (i >= entries.size() || entries[i].kind != Entry::kPairs || entries[i].pairs.size() != 2 ||
        entries[i].pairs[0].first != "File" || entries[i].pairs[1].first != "Line" ||
        !sameSection(entries[i], entries[at])) {
        return 0;
    }
    ++i;
    std::size_t vendorAt = i;
    if (!next("VendorID") || !next("VendorError")) {
        return 0;
    }
    std::string id, name;
    if (splitDescribed(entries[vendorAt].pairs[0].second, id, name) && !name.empty()) {
        next(name.c_str());
    }
    return i - at;
}

std::vector<Entry> groupErrorRecords(std::vector<Entry> entries) {
    std::vector<Entry> grouped;
    for (std::size_t i = 0; i < entries.size();) {
        std::size_t n = entries[i].kind == Entry::kPairs ? errorRecordAt(entries, i) : 0;
        if (n == 0) {
            grouped.push_back(std::move(entries[i]));
            ++i;
            continue;
        }
        Entry record = entries[i];
        record.kind = Entry::kError;
        for (std::size_t k = i + 1; k < i + n; ++k) {
            record.pairs.insert(record.pairs.end(), entries[k].pairs.begin(),
                                entries[k].pairs.end());
        }
        record.lastLine = entries[i + n - 1].lastLine;
        grouped.push_back(std::move(record));
        i += n;
    }
    return grouped;
}

// A value as it reads on a terminal: bare when it is plain, quoted with C
// escapes when it holds blanks, quotes, control characters or bad bytes.
std::string display(const std::string& value) {
    bool plain = !value.empty() && isValidUtf8(value);
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
        std::size_t length = utf8SequenceLength(value, i);
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

} // namespace

std::vector<Entry> LogParse::parse(std::istream& in) {
    std::vector<Entry> entries;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        Entry entry;
        char separator = 0;
        std::size_t payload = matchSection(line, entry, separator);
        if (payload == 0) {
            if (!entries.empty() && entries.back().kind != Entry::kText) {
                // The tail of a value that held a line break: re-split the
                // joined text so the break lands inside that value.
                Entry& previous = entries.back();
                previous.text += "\n" + line;
                previous.lastLine = number;
                continue;
            }
            entry.kind = Entry::kText;
            entry.text = line;
            entry.firstLine = entry.lastLine = number;
            entries.push_back(std::move(entry));
            continue;
        }
        entry.kind = Entry::kPairs; // settled by classify() once the value is whole
        entry.firstLine = entry.lastLine = number;
        // Until the next section shows up, text holds the raw payload with its
        // separator in front.
        entry.text = std::string(1, separator) + line.substr(payload);
        entries.push_back(std::move(entry));
    }
    for (Entry& entry : entries) {
        if (entry.kind == Entry::kText) {
            continue;
        }
        char separator = entry.text[0];
        classify(entry.text.substr(1), separator, entry);
        entry.text.clear();
    }
    return groupErrorRecords(std::move(entries));
}

bool LogParse::find(const Entry& entry, const std::string& key, std::string& value) {
    for (const auto& pair : entry.pairs) {
        if (pair.first == key) {
            value = pair.second;
            return true;
        }
    }
    return false;
}

std::string LogParse::toJson(const Entry& entry, const std::string& source) {
    static const char* const kKinds[] = {"error", "pairs", "debug", "perf", "text"};
    Json json;
    json.add("kind", kKinds[entry.kind]).add("source", source);
    json.addRaw("lines",
                "[" + std::to_string(entry.firstLine) + "," + std::to_string(entry.lastLine) + "]");
    if (entry.kind == Entry::kText) {
        return json.add("text", entry.text).str();
    }
    json.add("pid", entry.pid).add("date", entry.date).add("time", entry.time);
    switch (entry.kind) {
    case Entry::kError: {
        std::string value, reason, file, line, name, error, description;
        bool hasReason = find(entry, "Reason", reason);
        json.addOptional("reason", hasReason, reason);
        find(entry, "ComputerName", value);
        json.add("computerName", value);
        find(entry, "OS", value);
        json.add("os", value);
        find(entry, "File", file);
        find(entry, "Line", line);
        json.add("file", file).add("line", line);
        find(entry, "VendorID", value);
        std::string id;
        bool named = splitDescribed(value, id, name);
        json.add("vendorId", id).addOptional("vendorName", named, name);
        find(entry, "VendorError", value);
        bool described = splitDescribed(value, error, description);
        json.add("vendorError", error).addOptional("description", described, description);
        std::string version;
        bool hasVersion = named && !name.empty() && entry.pairs.back().first == name &&
                          find(entry, name, version);
        json.addOptional("vendorVersion", hasVersion, version);
        break;
    }
    case Entry::kPairs: {
        std::vector<std::string> pairs;
        for (const auto& pair : entry.pairs) {
            pairs.push_back(Json().add("key", pair.first).add("value", pair.second).str());
        }
        json.addRaw("pairs", Json::array(pairs));
        break;
    }
    case Entry::kDebug:
        json.add("component", entry.items[0]).add("message", entry.items[1]);
        break;
    case Entry::kPerf:
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
    case Entry::kText:
        break;
    }
    return json.str();
}

std::string LogParse::tableHeading() {
    return padded("LINES", 8) + padded("PID", 8) + padded("DATE", 11) + padded("TIME", 13) +
           padded("KIND", 6) + "CONTENT";
}

std::string LogParse::toRow(const Entry& entry) {
    static const char* const kKinds[] = {"error", "pairs", "debug", "perf", "text"};
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
    case Entry::kError:
    case Entry::kPairs:
        for (const auto& pair : entry.pairs) {
            field(pair.first, pair.second);
        }
        break;
    case Entry::kDebug:
        field("component", entry.items[0]);
        field("message", entry.items[1]);
        break;
    case Entry::kPerf:
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
    case Entry::kText:
        content = display(entry.text);
        break;
    }
    return row + content;
}

int LogParse::run(const std::vector<std::string>& args) {
    ArgParser parser({{"json", false}});
    parser.parse(args);
    const bool json = parser.has("json");
    std::vector<std::string> sources = parser.operands();
    if (sources.empty()) {
        sources.push_back("-");
    }
    int status = 0;
    for (const std::string& source : sources) {
        std::vector<Entry> entries;
        if (source == "-") {
            entries = parse(std::cin);
        } else {
            std::ifstream in(source, std::ios::binary);
            if (!in) {
                std::fprintf(stderr, "zorvlog: cannot read '%s'\n", source.c_str());
                status = 1;
                continue;
            }
            entries = parse(in);
        }
        if (!json) {
            if (sources.size() > 1) {
                std::printf("==> %s <==\n", source.c_str());
            }
            std::printf("%s\n", tableHeading().c_str());
        }
        for (const Entry& entry : entries) {
            std::string out = json ? toJson(entry, source) : toRow(entry);
            std::printf("%s\n", out.c_str());
        }
    }
    return status;
}

const char* LogParse::help() {
    return "Usage: zorvlog parse [--json] [FILE...]\n"
           "\n"
           "Reads log files written by the library (standard input when no FILE is given,\n"
           "or for \"-\") and splits each line into process id, date, time and payload:\n"
           "key/value pairs, tab-separated items (debug records) or comma-separated items\n"
           "(performance rows). A line that does not start with a section is the tail of\n"
           "a value that held a line break and is joined to the line before. The lines of\n"
           "one error record (Reason, ComputerName, OS, File/Line, VendorID, VendorError\n"
           "and the version line) become one entry. Nothing in the format is escaped, so a\n"
           "value that holds \",\" or \"=\" is split where they stand.\n"
           "\n"
           "  --json   one JSON object per entry, one per line\n"
           "\n"
           "Exit status: 0, 1 when a FILE cannot be read, 2 bad arguments.\n";
}

} // namespace zorvlog
