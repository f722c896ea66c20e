// The JSON objects of parse --json: zorvlog's own writer, streaming into its
// output buffer, against nlohmann-json building the same object and dumping
// it, side by side in one run ("ratio" is ours / nlohmann's: below 1 ours is
// faster). The entries are those of a busy service's log: debug records,
// performance rows and error records.

#include "BenchSupport.h"
#include "output/EntryFormat.h"
#include "output/Json.h"
#include "read/LogInput.h"
#include "read/RecordGrouper.h"

#include <nlohmann/json.hpp>

#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

class CountingSink : public zorvlog::TextSink {
public:
    std::size_t bytes = 0;

protected:
    void write(const char*, std::size_t size) override { bytes += size; }
};

std::vector<zorvlog::LogEntry> serviceEntries() {
    std::string text;
    for (int i = 0; i < 1000; ++i) {
        const std::string section =
            "4711\t2026/12/06\t17:05:" + std::to_string(10 + i % 50) + ":" + std::to_string(i);
        if (i % 10 == 9) {
            for (const char* line :
                 {"Reason=Fatal error", "ComputerName=host1", "OS=6.1.0-13-amd64",
                  "File=Client.cpp,Line=120", "VendorID=8 [ZorvQet]",
                  "VendorError=3 [A malformed request frame was received]", "ZorvQet=5.0.0"}) {
                text += section + "\t" + line + "\n";
            }
        } else if (i % 10 == 4) {
            text += "4711,2026/12/06,17:05:09:" + std::to_string(i) +
                    ",6.1.0-13-amd64,host1,5.0.0,open:12,read:3,ZorvCore,NA,\n";
        } else {
            text += section + "\tZorvCore\trequest " + std::to_string(i) + " served in 12 ms\t\n";
        }
    }
    bench::BenchHome home("zorvbench-json");
    const std::string path = home.root() + "/service.log";
    bench::appendOnce(path, text);
    std::vector<zorvlog::LogEntry> entries;
    zorvlog::RecordGrouper grouper([&](zorvlog::LogEntry& entry) { entries.push_back(entry); });
    zorvlog::LogInput input;
    input.open(path);
    zorvlog::LogInput::Line line;
    for (zorvlog::LogInput::Status s; (s = input.next(line)) != zorvlog::LogInput::kEnd;) {
        if (s == zorvlog::LogInput::kLine) {
            grouper.addLine(line);
        }
    }
    grouper.finish();
    return entries;
}

// A number of the record as writeEntryJson types it.
nlohmann::ordered_json numeric(std::string_view text) {
    std::int64_t value = 0;
    return zorvlog::jsonInteger(text, value) ? nlohmann::ordered_json(value)
                                             : nlohmann::ordered_json(text);
}

// The object writeEntryJson writes, member by member, for the kinds above.
std::string nlohmannJson(const zorvlog::LogEntry& entry, zorvlog::SectionClock& clock) {
    using zorvlog::LogEntry;
    nlohmann::ordered_json object;
    object["kind"] = zorvlog::entryKindName(entry.kind);
    object["source"] = "service.log";
    object["lines"] = {entry.firstLine, entry.lastLine};
    object["pid"] = numeric(entry.pid());
    object["date"] = entry.date();
    object["time"] = entry.time();
    if (entry.kind == LogEntry::kError) {
        object["reason"] = entry.value(0);
        object["computerName"] = entry.errorValue(LogEntry::kComputerName);
        object["os"] = entry.errorValue(LogEntry::kOs);
        object["file"] = entry.errorValue(LogEntry::kFile);
        object["line"] = numeric(entry.errorValue(LogEntry::kLine));
        std::string_view id, name, error, description;
        zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorId), id, name);
        zorv_detail::splitDescribed(entry.errorValue(LogEntry::kVendorError), error, description);
        object["vendorId"] = numeric(id);
        object["vendorName"] = name;
        object["vendorError"] = numeric(error);
        object["description"] = description;
        object["vendorVersion"] = entry.errorValue(LogEntry::kVersion);
    } else if (entry.kind == LogEntry::kDebug) {
        object["component"] = entry.item(0);
        object["message"] = entry.item(1);
    } else {
        nlohmann::ordered_json columns = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < entry.itemCount(); ++i) {
            columns.push_back(entry.item(i));
        }
        object["columns"] = columns;
        object["os"] = entry.item(zorv_detail::kPerfOs);
        object["computerName"] = entry.item(zorv_detail::kPerfComputerName);
        object["utilVersion"] = entry.item(zorv_detail::kPerfUtilVersion);
        for (int k = 0; k < 2; ++k) {
            const std::string_view joined = entry.item(zorv_detail::kPerfFirstSecond + k);
            const std::size_t at = joined.find(':');
            object[k == 0 ? "first" : "third"] = numeric(joined.substr(0, at));
            object[k == 0 ? "second" : "fourth"] = numeric(joined.substr(at + 1));
        }
        object["component"] = entry.item(zorv_detail::kPerfComponent);
        object["fifth"] = numeric(entry.item(zorv_detail::kPerfFifth));
    }
    zorvlog::SectionInstant at;
    char text[zorvlog::kTimestampSize];
    if (clock.sectionInstant(entry.date(), entry.time(), at)) {
        object["timestamp"] = std::string(text, zorvlog::formatTimestamp(at, text));
    }
    object["host"] = zorvlog::entryHost(entry);
    object["severity"] = zorvlog::entrySeverity(entry);
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void JsonWriter_Ours_Vs_Nlohmann(benchmark::State& state) {
    static const std::vector<zorvlog::LogEntry> entries = serviceEntries();
    zorvlog::SectionClock clock;
    CountingSink sink;
    std::size_t theirs = 0;
    bench::alternate(
        state, {"ours", 1, 1},
        [&] {
            for (const zorvlog::LogEntry& entry : entries) {
                zorvlog::writeEntryJson(sink, entry, "service.log", clock);
                sink.buffer() += '\n';
                sink.spill();
            }
        },
        [&] {
            for (const zorvlog::LogEntry& entry : entries) {
                theirs += nlohmannJson(entry, clock).size() + 1;
            }
        });
    benchmark::DoNotOptimize(theirs);
    state.counters["entries"] = static_cast<double>(entries.size());
}
BENCHMARK(JsonWriter_Ours_Vs_Nlohmann)->MinTime(2.0);

} // namespace

BENCHMARK_MAIN();
