#ifndef ZORVLOG_JSON_H
#define ZORVLOG_JSON_H

#include "output/PlainText.h"
#include "output/TextSink.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zorvlog {

// The text as a JSON string literal, quotes included. Log files may hold any
// bytes (a torn line, a file someone else wrote), so a byte sequence that is
// not UTF-8 becomes U+FFFD: whatever we print is valid JSON.
std::string jsonString(const std::string& bytes);
// The same without the quotes, appended to out.
void appendJsonText(TextBuffer& out, const char* data, std::size_t size);

// Whether the text is a decimal integer ("-" and digits, nothing else) that
// an int64 holds; its value then.
bool jsonInteger(std::string_view text, std::int64_t& value);

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
// a long value is never whole in memory in its escaped form. Keys are the
// program's own names and go as they are; the members are made part of
// their callers, where each key is a constant.
class JsonWriter {
public:
    explicit JsonWriter(TextSink& out) : mOut(out) { mOut.buffer() += '{'; }
    [[gnu::always_inline]] JsonWriter& add(std::string_view name, std::string_view value) {
        key(name);
        string(value);
        return *this;
    }
    // A value known to need no escape (the program's own names, a section's
    // digits and joiners), quoted as it stands.
    [[gnu::always_inline]] JsonWriter& addPlain(std::string_view name, std::string_view value) {
        TextBuffer& out = key(name);
        char* at = out.extend(value.size() + 2);
        *at = '"';
        TextBuffer::copy(at + 1, value.data(), value.size());
        at[value.size() + 1] = '"';
        return *this;
    }
    JsonWriter& addBool(std::string_view name, bool value) {
        return addRaw(name, value ? "true" : "false");
    }
    [[gnu::always_inline]] JsonWriter& addNull(std::string_view name) {
        return addRaw(name, "null");
    }
    [[gnu::always_inline]] JsonWriter& addRaw(std::string_view name, std::string_view json) {
        key(name) += json;
        return *this;
    }
    JsonWriter& addOptional(std::string_view name, bool present, std::string_view value) {
        return present ? add(name, value) : addNull(name);
    }
    // A number when the text is a decimal integer within int64 (jsonInteger),
    // else the text as a string: a consumer compares numbers as numbers, and
    // loses nothing when a writer put something else there.
    JsonWriter& addNumeric(std::string_view name, std::string_view text);
    // A key whose value the caller writes next into the sink's buffer,
    // which is returned.
    // Made part of its caller, where the name is a constant and so is its
    // copy.
    [[gnu::always_inline]] TextBuffer& key(std::string_view name) {
        TextBuffer& out = mOut.buffer();
        char* at = out.extend(name.size() + (mFirst ? 3 : 4));
        if (!mFirst) {
            *at++ = ',';
        }
        mFirst = false;
        *at++ = '"';
        std::memcpy(at, name.data(), name.size());
        at[name.size()] = '"';
        at[name.size() + 1] = ':';
        return out;
    }
    // A string value, for the caller's arrays.
    void string(std::string_view value) {
        // Most values need no escape: quoted in one piece.
        if (value.size() < TextSink::kBlock &&
            plainRun(value.data(), value.size(), false) == value.size()) {
            char* at = mOut.buffer().extend(value.size() + 2);
            *at = '"';
            TextBuffer::copy(at + 1, value.data(), value.size());
            at[value.size() + 1] = '"';
            return;
        }
        mOut.buffer() += '"';
        mOut.appendEscaped(value.data(), value.size(), appendJsonText);
        mOut.buffer() += '"';
    }
    void end() { mOut.buffer() += '}'; }

private:
    TextSink& mOut;
    bool mFirst = true;
};

} // namespace zorvlog

#endif
