#include "cli/ArgParser.h"

#include "VendorNames.h"
#include "table/TableCheck.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <strings.h>

namespace zorvlog {

namespace {

// The number of letters to insert, delete or replace to make one word the
// other.
std::size_t editDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j) {
        row[j] = j;
    }
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
            diagonal = above;
        }
    }
    return row[b.size()];
}

} // namespace

ArgParser::ArgParser(const std::vector<Option>& options) : mOptions(options) {}

UsageError ArgParser::unknown(const std::string& spelled, const std::string& word) const {
    std::string text = "unknown option " + spelled;
    text += word.size() > spelled.size() ? " in '" + word + "'" : std::string();
    auto hint = mHints.find(spelled);
    if (hint != mHints.end()) {
        return UsageError(text + ": " + hint->second);
    }
    if (spelled.size() < 3) {
        return UsageError(text);
    }
    // A typing slip is a letter or two, fewer in a short name: "--unit" is
    // not taken for "--until".
    const std::string name = spelled.substr(2);
    const Option* nearest = nullptr;
    std::size_t best = (name.size() + 2) / 4 + 1;
    for (const Option& option : mOptions) {
        const std::size_t distance = editDistance(name, option.name);
        if (distance < best) {
            best = distance;
            nearest = &option;
        }
    }
    return UsageError(nearest == nullptr ? text : text + "; did you mean --" + nearest->name + "?");
}

const ArgParser::Option* ArgParser::find(const std::string& name) const {
    for (const Option& option : mOptions) {
        if (name == option.name) {
            return &option;
        }
    }
    return nullptr;
}

const ArgParser::Option* ArgParser::findLetter(char letter) const {
    for (const Option& option : mOptions) {
        if (option.letter != 0 && option.letter == letter) {
            return &option;
        }
    }
    return nullptr;
}

void ArgParser::take(const Option& option, const std::string& shown, const std::string& value) {
    if (mValues.count(option.name) != 0 && !option.repeatable) {
        throw UsageError(shown + " given twice");
    }
    mValues[option.name] = value;
    mRepeated[option.name].push_back(value);
}

bool ArgParser::takeLetters(const std::vector<std::string>& args, std::size_t& i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-' ||
        (findLetter(arg[1]) == nullptr && !std::isalpha(static_cast<unsigned char>(arg[1])))) {
        return false;
    }
    for (std::size_t at = 1; at < arg.size(); ++at) {
        const Option* option = findLetter(arg[at]);
        if (option == nullptr) {
            throw unknown("-" + arg.substr(at, 1), arg);
        }
        const std::string shown = std::string("-") + arg[at];
        if (!option->takesValue) {
            take(*option, shown, std::string());
            continue;
        }
        if (at + 1 < arg.size()) {
            take(*option, shown, arg.substr(at + 1));
        } else if (i + 1 < args.size()) {
            take(*option, shown, args[++i]);
        } else {
            throw UsageError(shown + " needs a value");
        }
        return true;
    }
    return true;
}

void ArgParser::parse(const std::vector<std::string>& args) {
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (!optionsEnded && arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (optionsEnded || arg.size() < 3 || arg.compare(0, 2, "--") != 0) {
            if (optionsEnded || !takeLetters(args, i)) {
                mOperands.push_back(arg);
            }
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        bool inlineValue = false;
        std::string::size_type eq = name.find('=');
        if (eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.erase(eq);
            inlineValue = true;
        }
        const Option* option = find(name);
        if (option == nullptr) {
            throw unknown("--" + name, "--" + name);
        }
        if (option->takesValue) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    throw UsageError("--" + name + " needs a value");
                }
                value = args[++i];
            }
        } else if (inlineValue) {
            throw UsageError("--" + name + " takes no value");
        }
        take(*option, "--" + name, value);
    }
}

int ArgParser::number(const char* name, int fallback) const {
    if (!has(name)) {
        return fallback;
    }
    int result = 0;
    if (!parseInt(value(name), result)) {
        throw UsageError(std::string("--") + name + " needs a whole number, not '" + value(name) +
                         "'");
    }
    return result;
}

std::vector<std::string> ArgParser::values(const std::string& name) const {
    auto it = mRepeated.find(name);
    return it == mRepeated.end() ? std::vector<std::string>() : it->second;
}

std::string ArgParser::value(const std::string& name, const std::string& fallback) const {
    auto it = mValues.find(name);
    return it == mValues.end() ? fallback : it->second;
}

std::string ArgParser::required(const std::string& name) const {
    auto it = mValues.find(name);
    if (it == mValues.end()) {
        throw UsageError("--" + name + " is required");
    }
    return it->second;
}

bool parseInt(const std::string& text, int& value) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        ++i;
    }
    if (i == text.size()) {
        return false;
    }
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    errno = 0;
    long long parsed = std::strtoll(text.c_str(), nullptr, 10);
    if (errno == ERANGE || parsed < -2147483648LL || parsed > 2147483647LL) {
        return false;
    }
    value = static_cast<int>(parsed);
    return true;
}

int parseVendor(const std::string& text) {
    int id = 0;
    if (parseInt(text, id)) {
        return id;
    }
    id = zorv_detail::vendorIdOfName(text);
    if (id >= 0) {
        return id;
    }
    std::vector<std::string> known;
    for (int i = zorv_detail::kLowestVendorId + 1; i <= zorv_detail::kHighestVendorId; ++i) {
        if (zorv_detail::vendorIdOfName(zorv_detail::vendorName(i)) == i) {
            known.push_back(zorv_detail::vendorName(i));
        }
    }
    // Then the names the loaded table gives its vendors, in any case; a
    // table usually repeats the components' names, which are listed once.
    for (const auto& named : TableCheck::vendorNames()) {
        if (::strcasecmp(named.second.c_str(), text.c_str()) == 0) {
            return named.first;
        }
        if (std::none_of(known.begin(), known.end(), [&](const std::string& name) {
                return ::strcasecmp(name.c_str(), named.second.c_str()) == 0;
            })) {
            known.push_back(named.second);
        }
    }
    std::string list;
    for (const std::string& name : known) {
        list += (list.empty() ? "" : ", ") + name;
    }
    throw UsageError("unknown vendor '" + text + "': give a number or one of " + list);
}

} // namespace zorvlog
