#include "Json.h"

#include "Utf8.h"

#include <cstdio>

namespace zorvlog {

std::string jsonString(const std::string& bytes) {
    std::string out = "\"";
    out.reserve(bytes.size() + 2);
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Printable ASCII other than the quote and the backslash goes as it is,
        // a run at a time.
        std::size_t run = i;
        while (run < bytes.size() && bytes[run] >= 0x20 && bytes[run] < 0x7f && bytes[run] != '"' &&
               bytes[run] != '\\') {
            ++run;
        }
        if (run > i) {
            out.append(bytes, i, run - i);
            i = run;
            continue;
        }
        std::size_t length = zorv_detail::utf8SequenceLength(bytes, i);
        if (length == 0) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        unsigned char c = static_cast<unsigned char>(bytes[i]);
        if (length > 1) {
            out.append(bytes, i, length);
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7f) {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        } else {
            out += static_cast<char>(c);
        }
        i += length;
    }
    out += "\"";
    return out;
}

void Json::key(const char* name) {
    if (mText.size() > 1) {
        mText += ",";
    }
    mText += jsonString(name);
    mText += ":";
}

Json& Json::add(const char* name, const std::string& value) {
    key(name);
    mText += jsonString(value);
    return *this;
}

Json& Json::add(const char* name, const char* value) {
    return add(name, std::string(value));
}

Json& Json::add(const char* name, long value) {
    key(name);
    mText += std::to_string(value);
    return *this;
}

Json& Json::addBool(const char* name, bool value) {
    return addRaw(name, value ? "true" : "false");
}

Json& Json::addNull(const char* name) {
    key(name);
    mText += "null";
    return *this;
}

Json& Json::addRaw(const char* name, const std::string& json) {
    key(name);
    mText += json;
    return *this;
}

Json& Json::addOptional(const char* name, bool present, const std::string& value) {
    return present ? add(name, value) : addNull(name);
}

std::string Json::array(const std::vector<std::string>& jsonValues) {
    std::string out = "[";
    for (std::size_t i = 0; i < jsonValues.size(); ++i) {
        if (i > 0) {
            out += ",";
        }
        out += jsonValues[i];
    }
    return out + "]";
}

std::string Json::stringArray(const std::vector<std::string>& values) {
    std::vector<std::string> quoted;
    quoted.reserve(values.size());
    for (const std::string& v : values) {
        quoted.push_back(jsonString(v));
    }
    return array(quoted);
}

} // namespace zorvlog
