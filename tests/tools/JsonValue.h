#ifndef ZORV_TEST_JSONVALUE_H
#define ZORV_TEST_JSONVALUE_H

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zorvtest {

// A strict JSON reader, enough to hold zorvlog's output to the grammar and to
// look at what it says. parse() throws std::runtime_error on anything that is
// not exactly one JSON value (trailing text, bad escapes, raw control
// characters, invalid UTF-8 are all errors).
class JsonValue {
public:
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject };

    static JsonValue parse(const std::string& text);

    Type type() const { return mType; }
    bool isNull() const { return mType == kNull; }
    const std::string& str() const; // a string's text
    double number() const;
    bool boolean() const;
    const std::vector<JsonValue>& array() const;
    bool has(const std::string& key) const;
    const JsonValue& operator[](const std::string& key) const; // throws when absent
    const JsonValue& operator[](std::size_t index) const;
    std::size_t size() const; // array elements or object members

private:
    friend class JsonReader;
    Type mType = kNull;
    bool mBool = false;
    double mNumber = 0;
    std::string mString;
    std::vector<JsonValue> mArray;
    std::map<std::string, JsonValue> mObject;
};

} // namespace zorvtest

#endif
