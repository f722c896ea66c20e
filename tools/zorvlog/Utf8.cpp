#include "Utf8.h"

namespace zorvlog {

std::size_t utf8SequenceLength(const std::string& bytes, std::size_t pos) {
    auto at = [&](std::size_t i) -> unsigned {
        return i < bytes.size() ? static_cast<unsigned char>(bytes[i]) : 0u;
    };
    unsigned c = at(pos);
    if (pos >= bytes.size()) {
        return 0;
    }
    if (c < 0x80) {
        return 1;
    }
    std::size_t length;
    unsigned low = 0x80, high = 0xbf; // allowed range of the second byte
    if (c >= 0xc2 && c <= 0xdf) {
        length = 2;
    } else if (c >= 0xe0 && c <= 0xef) {
        length = 3;
        if (c == 0xe0) {
            low = 0xa0; // no overlong forms
        } else if (c == 0xed) {
            high = 0x9f; // no surrogates
        }
    } else if (c >= 0xf0 && c <= 0xf4) {
        length = 4;
        if (c == 0xf0) {
            low = 0x90;
        } else if (c == 0xf4) {
            high = 0x8f; // nothing beyond U+10FFFF
        }
    } else {
        return 0;
    }
    if (pos + length > bytes.size()) {
        return 0;
    }
    unsigned second = at(pos + 1);
    if (second < low || second > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        unsigned next = at(pos + i);
        if (next < 0x80 || next > 0xbf) {
            return 0;
        }
    }
    return length;
}

bool isValidUtf8(const std::string& bytes) {
    for (std::size_t i = 0; i < bytes.size();) {
        std::size_t length = utf8SequenceLength(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

} // namespace zorvlog
