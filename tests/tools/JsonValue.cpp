#include "JsonValue.h"

#include <cstdlib>
#include <stdexcept>

namespace zorvtest {

class JsonReader {
public:
    explicit JsonReader(const std::string& text) : mText(text) {}

    JsonValue document() {
        JsonValue value = parseValue();
        skipSpace();
        if (mPos != mText.size()) {
            fail("trailing text");
        }
        return value;
    }

private:
    [[noreturn]] void fail(const std::string& what) {
        throw std::runtime_error("JSON: " + what + " at offset " + std::to_string(mPos));
    }

    void skipSpace() {
        while (mPos < mText.size() && (mText[mPos] == ' ' || mText[mPos] == '\t' ||
                                       mText[mPos] == '\n' || mText[mPos] == '\r')) {
            ++mPos;
        }
    }

    bool consume(const char* word) {
        std::string w = word;
        if (mText.compare(mPos, w.size(), w) == 0) {
            mPos += w.size();
            return true;
        }
        return false;
    }

    JsonValue parseValue() {
        skipSpace();
        if (mPos >= mText.size()) {
            fail("value expected");
        }
        JsonValue value;
        char c = mText[mPos];
        if (c == '{') {
            value.mType = JsonValue::kObject;
            ++mPos;
            skipSpace();
            if (mPos < mText.size() && mText[mPos] == '}') {
                ++mPos;
                return value;
            }
            for (;;) {
                skipSpace();
                if (mPos >= mText.size() || mText[mPos] != '"') {
                    fail("member name expected");
                }
                std::string key = parseString();
                skipSpace();
                if (!consume(":")) {
                    fail("':' expected");
                }
                if (value.mObject.count(key) != 0) {
                    fail("duplicate member " + key);
                }
                value.mObject[key] = parseValue();
                skipSpace();
                if (consume("}")) {
                    return value;
                }
                if (!consume(",")) {
                    fail("',' or '}' expected");
                }
            }
        }
        if (c == '[') {
            value.mType = JsonValue::kArray;
            ++mPos;
            skipSpace();
            if (consume("]")) {
                return value;
            }
            for (;;) {
                value.mArray.push_back(parseValue());
                skipSpace();
                if (consume("]")) {
                    return value;
                }
                if (!consume(",")) {
                    fail("',' or ']' expected");
                }
            }
        }
        if (c == '"') {
            value.mType = JsonValue::kString;
            value.mString = parseString();
            return value;
        }
        if (consume("null")) {
            return value;
        }
        if (consume("true")) {
            value.mType = JsonValue::kBool;
            value.mBool = true;
            return value;
        }
        if (consume("false")) {
            value.mType = JsonValue::kBool;
            return value;
        }
        std::size_t start = mPos;
        if (mText[mPos] == '-') {
            ++mPos;
        }
        while (mPos < mText.size() &&
               ((mText[mPos] >= '0' && mText[mPos] <= '9') || mText[mPos] == '.' ||
                mText[mPos] == 'e' || mText[mPos] == 'E' || mText[mPos] == '+')) {
            ++mPos;
        }
        if (mPos == start || (mPos == start + 1 && mText[start] == '-')) {
            fail("unexpected character");
        }
        value.mType = JsonValue::kNumber;
        value.mNumber = std::strtod(mText.substr(start, mPos - start).c_str(), nullptr);
        return value;
    }

    void appendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xf0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3f));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    unsigned hex4() {
        if (mPos + 4 > mText.size()) {
            fail("short \\u escape");
        }
        unsigned value = 0;
        for (int i = 0; i < 4; ++i) {
            char c = mText[mPos++];
            value <<= 4;
            if (c >= '0' && c <= '9') {
                value |= static_cast<unsigned>(c - '0');
            } else if (c >= 'a' && c <= 'f') {
                value |= static_cast<unsigned>(c - 'a' + 10);
            } else if (c >= 'A' && c <= 'F') {
                value |= static_cast<unsigned>(c - 'A' + 10);
            } else {
                fail("bad \\u escape");
            }
        }
        return value;
    }

    std::string parseString() {
        ++mPos; // the opening quote
        std::string out;
        while (mPos < mText.size()) {
            unsigned char c = static_cast<unsigned char>(mText[mPos]);
            if (c == '"') {
                ++mPos;
                return out;
            }
            if (c < 0x20) {
                fail("raw control character in a string");
            }
            if (c == '\\') {
                ++mPos;
                if (mPos >= mText.size()) {
                    break;
                }
                char e = mText[mPos++];
                switch (e) {
                case '"':
                    out += '"';
                    break;
                case '\\':
                    out += '\\';
                    break;
                case '/':
                    out += '/';
                    break;
                case 'b':
                    out += '\b';
                    break;
                case 'f':
                    out += '\f';
                    break;
                case 'n':
                    out += '\n';
                    break;
                case 'r':
                    out += '\r';
                    break;
                case 't':
                    out += '\t';
                    break;
                case 'u': {
                    unsigned cp = hex4();
                    if (cp >= 0xd800 && cp <= 0xdbff) {
                        if (!consume("\\u")) {
                            fail("lone surrogate");
                        }
                        unsigned low = hex4();
                        if (low < 0xdc00 || low > 0xdfff) {
                            fail("bad surrogate pair");
                        }
                        cp = 0x10000 + ((cp - 0xd800) << 10) + (low - 0xdc00);
                    } else if (cp >= 0xdc00 && cp <= 0xdfff) {
                        fail("lone surrogate");
                    }
                    appendUtf8(out, cp);
                    break;
                }
                default:
                    fail("bad escape");
                }
                continue;
            }
            // Raw bytes must be well-formed UTF-8.
            std::size_t length = c < 0x80                   ? 1
                                 : (c >= 0xc2 && c <= 0xdf) ? 2
                                 : (c >= 0xe0 && c <= 0xef) ? 3
                                 : (c >= 0xf0 && c <= 0xf4) ? 4
                                                            : 0;
            if (length == 0 || mPos + length > mText.size()) {
                fail("invalid UTF-8");
            }
            for (std::size_t i = 1; i < length; ++i) {
                unsigned char cont = static_cast<unsigned char>(mText[mPos + i]);
                if ((cont & 0xc0) != 0x80) {
                    fail("invalid UTF-8");
                }
            }
            out.append(mText, mPos, length);
            mPos += length;
        }
        fail("unterminated string");
    }

    const std::string& mText;
    std::size_t mPos = 0;
};

JsonValue JsonValue::parse(const std::string& text) {
    return JsonReader(text).document();
}

const std::string& JsonValue::str() const {
    if (mType != kString) {
        throw std::runtime_error("JSON: not a string");
    }
    return mString;
}

double JsonValue::number() const {
    if (mType != kNumber) {
        throw std::runtime_error("JSON: not a number");
    }
    return mNumber;
}

bool JsonValue::boolean() const {
    if (mType != kBool) {
        throw std::runtime_error("JSON: not a boolean");
    }
    return mBool;
}

const std::vector<JsonValue>& JsonValue::array() const {
    if (mType != kArray) {
        throw std::runtime_error("JSON: not an array");
    }
    return mArray;
}

bool JsonValue::has(const std::string& key) const {
    return mType == kObject && mObject.count(key) != 0;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    auto it = mObject.find(key);
    if (mType != kObject || it == mObject.end()) {
        throw std::runtime_error("JSON: no member " + key);
    }
    return it->second;
}

const JsonValue& JsonValue::operator[](std::size_t index) const {
    return array().at(index);
}

std::size_t JsonValue::size() const {
    return mType == kObject ? mObject.size() : array().size();
}

} // namespace zorvtest
