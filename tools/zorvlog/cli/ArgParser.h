#ifndef ZORVLOG_ARGPARSER_H
#define ZORVLOG_ARGPARSER_H

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace zorvlog {

// A bad command line: the message says what is wrong; the command exits with 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Long options ("--name VALUE", "--name=VALUE", "--flag") anywhere among the
// operands, and "--" to end them, so that a message may itself start with
// "--". An option may have a one-letter form ("-n VALUE", "-nVALUE", "-r",
// several letters in one word as "-rn 10"); an unknown letter is refused as
// an unknown long option is. A single "-" and words such as "-5" are
// operands, as is every word after "--".
class ArgParser {
public:
    struct Option {
        const char* name; // without the leading "--"
        bool takesValue;
        bool repeatable = false; // each value kept (values())
        char letter = 0;         // the one-letter form, if any
    };

    ArgParser(const std::vector<Option>& options);

    // Throws UsageError on an unknown option, a missing value or an option
    // given twice. An unknown long option is answered with the nearest
    // known one, when one is near.
    void parse(const std::vector<std::string>& args);
    // What to say when a user types `spelled` ("-f", "--follow"): an option
    // this command does not have, but another command or tool does.
    void hint(const std::string& spelled, const std::string& text) { mHints[spelled] = text; }

    bool has(const std::string& name) const { return mValues.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = "") const;
    // Every value of a repeatable option, in order.
    std::vector<std::string> values(const std::string& name) const;
    // The value of an option that must be given.
    std::string required(const std::string& name) const;
    // The option's value as a whole number (parseInt), `fallback` when it is
    // absent; throws UsageError naming the option when it is no number.
    int number(const char* name, int fallback = 0) const;
    const std::vector<std::string>& operands() const { return mOperands; }

private:
    const Option* find(const std::string& name) const;
    const Option* findLetter(char letter) const;
    // The error for an option that is none, with its hint or the nearest one.
    UsageError unknown(const std::string& spelled, const std::string& word) const;
    // The option and its value; `shown` is how the command line named it.
    void take(const Option& option, const std::string& shown, const std::string& value);
    // A word of one-letter forms; false when it is an operand. i moves past
    // a value taken from the next word.
    bool takeLetters(const std::vector<std::string>& args, std::size_t& i);

    std::vector<Option> mOptions;
    std::map<std::string, std::string> mValues;
    std::map<std::string, std::vector<std::string>> mRepeated;
    std::vector<std::string> mOperands;
    std::map<std::string, std::string> mHints;
};

// A signed 32-bit decimal number, the whole text and nothing else.
bool parseInt(const std::string& text, int& value);

// A component: its number, or its name in any case ("zorvcore" is 1).
// Throws UsageError naming the known components when neither fits.
int parseVendor(const std::string& text);

} // namespace zorvlog

#endif
