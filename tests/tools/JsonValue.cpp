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
        expect(mPos == mText.size(), "trailing text");
        return value;
    }

private:
    void expect(bool condition, const char* what) {
        if (!condition) {
            throw std::runtime_error(std::string("JSON: ") + what + " at offset " +
                                     std::to_string(mPos) + " of: " + mText);
        }
    }

    void skipSpace() {
        while (mPos < mText.size() &&
               std::string(" \t\n\r").find(mText[mPos]) != std::string::npos) {
            ++mPos;
        }
    }

    bool consume(const std::string& word) {
        skipSpace();
        if (mText.compare(mPos, word.size(), word) != 0) {
            return false;
        }
        mPos += word.size();
        return true;
    }

    JsonValue parseValue() {
        skipSpace();
        expect(mPos < mText.size(), "value expected");
        JsonValue value;
        if (consume("{")) {
            value.mType = JsonValue::kObject;
            if (consume("}")) {
                return value;
            }
            do {
                skipSpace();
                std::string key = parseString();
                expect(consume(":"), "':' expected");
                expect(value.mObject.count(key) == 0, "duplicate member");
                value.mObject[key] = parseValue();
            } while (consume(","));
            expect(consume("}"), "'}' expected");
        } else if (consume("[")) {
            value.mType = JsonValue::kArray;
            if (consume("]")) {
                return value;
            }
            do {
                value.mArray.push_back(parseValue());
            } while (consume(","));
            expect(consume("]"), "']' expected");
        } else if (mText[mPos] == '"') {
            value.mType = JsonValue::kString;
            value.mString = parseString();
        } else if (consume("true")) {
            value.mType = JsonValue::kBool;
            value.mBool = true;
        } else if (consume("false")) {
            value.mType = JsonValue::kBool;
        } else if (!consume("null")) {
            std::size_t start = mPos;
            mPos += mText[mPos] == '-' ? 1 : 0;
            std::size_t digits = mPos;
            while (mPos < mText.size() && mText[mPos] >= '0' && mText[mPos] <= '9') {
                ++mPos;
            }
            expect(mPos > digits, "unexpected character");
            value.mType = JsonValue::kNumber;
            value.mNumber = std::strtod(mText.substr(start, mPos - start).c_str(), nullptr);
        }
        return value;
    }

    static void appendUtf8(std::string& out, unsigned cp) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xc0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            out += static_cast<char>(0xe0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }

    std::string parseString() {
        expect(mPos < mText.size() && mText[mPos] == '"', "string expected");
        ++mPos;
        std::string out;
        while (mPos < mText.size() && mText[mPos] != '"') {
            unsigned char c = static_cast<unsigned char>(mText[mPos]);
            expect(c >= 0x20, "raw control character in a string");
            if (c == '\\') {
                expect(mPos + 1 < mText.size(), "unterminated escape");
                char e = mText[mPos + 1];
                mPos += 2;
                const std::string plain = "\"\\/bfnrt", meant = "\"\\/\b\f\n\r\t";
                if (plain.find(e) != std::string::npos) {
                    out += meant[plain.find(e)];
                    continue;
                }
                expect(e == 'u' && mPos + 4 <= mText.size(), "bad escape");
                char* end = nullptr;
                std::string hex = mText.substr(mPos, 4);
                unsigned cp = static_cast<unsigned>(std::strtoul(hex.c_str(), &end, 16));
                // zorvlog writes anything beyond ASCII as raw UTF-8.
                expect(end == hex.c_str() + 4 && (cp < 0xd800 || cp > 0xdfff), "bad \\u escape");
                appendUtf8(out, cp);
                mPos += 4;
                continue;
            }
            // Raw bytes must be well-formed UTF-8.
            std::size_t length = c < 0x80                 ? 1
                                 : c >= 0xc2 && c <= 0xdf ? 2
                                 : c >= 0xe0 && c <= 0xef ? 3
                                 : c >= 0xf0 && c <= 0xf4 ? 4
                                                          : 0;
            expect(length > 0 && mPos + length <= mText.size(), "invalid UTF-8");
            for (std::size_t i = 1; i < length; ++i) {
                expect((static_cast<unsigned char>(mText[mPos + i]) & 0xc0) == 0x80,
                       "invalid UTF-8");
            }
            out.append(mText, mPos, length);
            mPos += length;
        }
        expect(mPos < mText.size(), "unterminated string");
        ++mPos;
        return out;
    }

    const std::string& mText;
    std::size_t mPos = 0;
};

JsonValue JsonValue::parse(const std::string& text) {
    return JsonReader(text).document();
}

const JsonValue& JsonValue::as(Type type) const {
    if (mType != type) {
        throw std::runtime_error("JSON: a value of another type");
    }
    return *this;
}

const JsonValue& JsonValue::operator[](const std::string& key) const {
    auto it = as(kObject).mObject.find(key);
    if (it == mObject.end()) {
        throw std::runtime_error("JSON: no member " + key);
    }
    return it->second;
}

} // namespace zorvtest
