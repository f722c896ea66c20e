#ifndef ZORVLOG_JSON_H
#define ZORVLOG_JSON_H

#include "TextSink.h"

#include <string>
#include <utility>
#include <vector>

namespace zorvlog {

// The text as a JSON string literal, quotes included. Log files may hold any
// bytes (a torn line, a file someone else wrote), so a byte sequence that is
// not UTF-8 becomes U+FFFD: whatever we print is valid JSON.
std::string jsonString(const std::string& bytes);
// The same without the quotes, appended to out.
void appendJsonText(std::string& out, const char* data, std::size_t size);

// Builds one JSON object member by member, in the order they are added.
class Json {
public:
    Json& add(const char* key, const std::string& value);
    Json& add(const char* key, const char* value);
    Json& add(const char* key, long value);
    Json& addBool(const char* key, bool value);
    Json& addNull(const char* key);
    // A value that is already JSON text (an array, a nested object).
    Json& addRaw(const char* key, const std::string& json);
    // A value that is present only when the text is: null otherwise.
    Json& addOptional(const char* key, bool present, const std::string& value);

    std::string str() const { return mText + "}"; }

    static std::string array(const std::vector<std::string>& jsonValues);
    static std::string stringArray(const std::vector<std::string>& values);

private:
    void key(const char* name);

    std::string mText = "{";
};

// One JSON object written member by member into a sink, strings in slices:
// a long value is never whole in memory in its escaped form.
class JsonWriter {
public:
    explicit JsonWriter(TextSink& out);
    JsonWriter& add(const char* key, const std::string& value);
    JsonWriter& addBool(const char* key, bool value);
    JsonWriter& addRaw(const char* key, const std::string& json);
    JsonWriter& addOptional(const char* key, bool present, const std::string& value);
    JsonWriter& addStrings(const char* key, const std::vector<std::string>& values);
    // [{"key": ..., "value": ...}, ...]
    JsonWriter& addPairs(const char* key,
                         const std::vector<std::pair<std::string, std::string>>& pairs);
    void end();

private:
    void key(const char* name);
    void string(const std::string& value);

    TextSink& mOut;
    bool mFirst = true;
};

} // namespace zorvlog

#endif
