#include "ReaderSupport.h"

#include "output/EntryFormat.h"
#include "read/LogInput.h"
#include "read/RecordGrouper.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace zorvtest {

namespace {

class StringSink : public zorvlog::TextSink {
public:
    std::string text;

protected:
    void write(const char* data, std::size_t size) override { text.append(data, size); }
};

} // namespace

std::vector<zorvlog::LogEntry> groupedEntries(const std::string& text) {
    TempDir dir;
    writeFile(dir.file("a.log"), text);
    std::vector<zorvlog::LogEntry> entries;
    zorvlog::RecordGrouper grouper([&](zorvlog::LogEntry& entry) { entries.push_back(entry); });
    zorvlog::LogInput input;
    EXPECT_TRUE(input.open(dir.file("a.log")));
    zorvlog::LogInput::Line line;
    zorvlog::LogInput::Status status;
    while ((status = input.next(line)) != zorvlog::LogInput::kEnd) {
        EXPECT_NE(status, zorvlog::LogInput::kError);
        if (status == zorvlog::LogInput::kLine) {
            grouper.addLine(line);
        }
    }
    while (input.rest(line)) {
        grouper.addLine(line);
    }
    grouper.finish();
    return entries;
}

nlohmann::json entryJson(const zorvlog::LogEntry& entry) {
    StringSink sink;
    zorvlog::SectionClock clock;
    zorvlog::writeEntryJson(sink, entry, "a.log", clock);
    sink.flush();
    return nlohmann::json::parse(sink.text);
}

std::vector<nlohmann::json> entriesOf(const std::string& text) {
    std::vector<nlohmann::json> objects;
    for (const zorvlog::LogEntry& entry : groupedEntries(text)) {
        objects.push_back(entryJson(entry));
    }
    return objects;
}

std::string mixedLog(unsigned seed, int records) {
    std::mt19937 random(seed);
    auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
    auto pick = [&](std::initializer_list<const char*> texts) {
        return std::string(texts.begin()[random() % texts.size()]);
    };
    std::string log;
    for (int i = 0; i < records; ++i) {
        const std::string n = std::to_string(i);
        const std::string section = pick({"11", "12", "13"}) + "\t2026/12/06\t" +
                                    pick({"10:00:00", "10:00:01", "10:00:02:5"}) + "\t";
        const int kind = static_cast<int>(random() % 100);
        if (kind < 30) {
            const std::string vendor = pick({"ZorvQet", "Reason", "ComputerName", "OS"});
            std::vector<std::string> lines;
            if (chance(70)) {
                lines.push_back("Reason=r" + n + (chance(20) ? "\nmore\n\nx" : ""));
            }
            for (const std::string& line :
                 {std::string("ComputerName=h"), std::string("OS=o"), "File=f,Line=" + n,
                  "VendorID=8 [" + vendor + "]", std::string("VendorError=3 [d]")}) {
                lines.push_back(line);
            }
            if (chance(70)) {
                lines.push_back(vendor + "=1." + n);
            }
            if (chance(20)) {
                lines.resize(1 + random() % lines.size());
            }
            for (const std::string& line : lines) {
                log += section + line + "\n";
            }
        } else if (kind < 60) {
            log += section + "ZorvCore\tmsg " + n + (chance(10) ? "\nnext\tline" : "") + "\t\n";
        } else if (kind < 70) {
            log += "11,2026/12/06,10:00:03,os,h,v,a:b,c:d,C,e" + n + ",\n";
        } else if (kind < 80) {
            log += "\n";
        } else if (kind < 84) {
            log += "stray " + n + "\n";
        } else if (kind < 86) {
            log += std::string(1 + random() % 40, '\0');
        } else {
            log += section + "k=v," + n + "\n";
        }
    }
    if (chance(50)) {
        log += "12\t2026/12/06\t10:00:04\ttorn=";
    }
    return log;
}

} // namespace zorvtest
