#include "output/OutputMode.h"

namespace zorvlog {

std::vector<ArgParser::Option> outputOptions() {
    return {{"json", false}, {"output", true, false, 'o'}, {"no-pager", false}};
}

OutputMode outputMode(const ArgParser& parser) {
    const std::string name = parser.value("output", parser.has("json") ? "json" : "short");
    OutputMode mode;
    if (name == "short") {
        mode = OutputMode::kShort;
    } else if (name == "json") {
        mode = OutputMode::kJson;
    } else if (name == "cat") {
        mode = OutputMode::kCat;
    } else {
        throw UsageError("--output '" + name + "' is no output: give short, json or cat");
    }
    if (parser.has("json") && mode != OutputMode::kJson) {
        throw UsageError("--json and --output " + name + " contradict each other");
    }
    return mode;
}

} // namespace zorvlog
