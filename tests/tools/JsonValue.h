#ifndef ZORV_TEST_JSONVALUE_H
#define ZORV_TEST_JSONVALUE_H

#include <map>
#include <string>
#include <vector>

namespace zorvtest {

// A strict reader for zorvlog's JSON: parse() throws std::runtime_error on
// anything that is not exactly one JSON value (trailing text, bad escapes, raw
// control characters, invalid UTF-8), so a test that reads the output also
// holds it to the grammar.
class JsonValue {
public:
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject };

    static JsonValue parse(const std::string& text);

    bool isNull() const { return mType == kNull; }
    const std::string& str() const { return as(kString).mString; }
    double number() const { return as(kNumber).mNumber; }
    bool boolean() const { return as(kBool).mBool; }
    const std::vector<JsonValue>& array() const { return as(kArray).mArray; }
    const JsonValue& operator[](const std::string& key) const; // throws when absent
    const JsonValue& operator[](std::size_t index) const { return array().at(index); }
    std::size_t size() const { return mType == kObject ? mObject.size() : array().size(); }

private:
    friend class JsonReader;
    const JsonValue& as(Type type) const;

    Type mType = kNull;
    bool mBool = false;
    double mNumber = 0;
    std::string mString;
    std::vector<JsonValue> mArray;
    std::map<std::string, JsonValue> mObject;
};

} // namespace zorvtest

#endif
