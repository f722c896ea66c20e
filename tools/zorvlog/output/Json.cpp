#include "output/Json.h"

#include "Utf8.h"
#include "output/PlainText.h"

#include <charconv>
#include <cstdio>

namespace zorvlog {

void appendJsonText(TextBuffer& out, const char* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const auto* end = bytes + size;
    while (bytes < end) {
        // Printable ASCII other than the quote and the backslash goes as it is,
        // a run at a time.
        const auto* run = bytes + plainRun(reinterpret_cast<const char*>(bytes),
                                           static_cast<std::size_t>(end - bytes), false);
        if (run > bytes) {
            out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(run - bytes));
            bytes = run;
            continue;
        }
        const long length = zorv_detail::utf8SequenceAt(bytes, end);
        if (length <= 0) {
            out += "\\ufffd";
            ++bytes;
            continue;
        }
        const unsigned char c = *bytes;
        if (length > 1) {
            out.append(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
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
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
            out += escaped;
        }
        bytes += length;
    }
}

bool jsonInteger(std::string_view text, std::int64_t& value) {
    const char* const end = text.data() + text.size();
    const char* digits = text.data() + (!text.empty() && text[0] == '-' ? 1 : 0);
    if (digits == end || *digits < '0' || *digits > '9') {
        return false;
    }
    const auto read = std::from_chars(text.data(), end, value);
    return read.ec == std::errc() && read.ptr == end;
}

namespace {

// Whether the text is an integer as a number prints itself: a minus only
// before a digit other than 0, no leading zeros, and few enough digits that
// any int64 holds it. Such text goes out as it stands.
bool printsAsItself(std::string_view text) {
    const std::size_t sign = !text.empty() && text[0] == '-' ? 1 : 0;
    const std::size_t digits = text.size() - sign;
    if (digits == 0 || digits > 18 || (text[sign] == '0' && (digits > 1 || sign == 1))) {
        return false;
    }
    for (std::size_t i = sign; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i] - '0') >= 10) {
            return false;
        }
    }
    return true;
}

} // namespace

JsonWriter& JsonWriter::addNumeric(std::string_view name, std::string_view text) {
    if (printsAsItself(text)) {
        return addRaw(name, text);
    }
    std::int64_t value = 0;
    if (!jsonInteger(text, value)) {
        return add(name, text);
    }
    char number[24];
    const auto end = std::to_chars(number, number + sizeof number, value).ptr;
    return addRaw(name, std::string_view(number, static_cast<std::size_t>(end - number)));
}

std::string jsonString(const std::string& bytes) {
    TextBuffer out;
    out += '"';
    appendJsonText(out, bytes.data(), bytes.size());
    out += '"';
    return std::string(out.view());
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
