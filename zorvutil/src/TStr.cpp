#include <zorv/TStr.h>

#include "Utf8.h"

#include <cstdlib>
#include <cstring>

namespace {

// Finds the lowest-numbered marker %1..%99. Returns 0 when there is none.
int lowestMarker(const std::string& s) {
    int lowest = 100;
    for (std::size_t i = 0; i + 1 < s.size(); ++i) {
        if (s[i] != '%' || s[i + 1] < '0' || s[i + 1] > '9') {
            continue;
        }
        int number = s[i + 1] - '0';
        if (i + 2 < s.size() && s[i + 2] >= '0' && s[i + 2] <= '9') {
            number = number * 10 + (s[i + 2] - '0');
        }
        if (number >= 1 && number < lowest) {
            lowest = number;
        }
    }
    return lowest == 100 ? 0 : lowest;
}

std::string replaceMarker(const std::string& s, int marker, const std::string& value) {
    std::string out;
    out.reserve(s.size() + value.size());
    for (std::size_t i = 0; i < s.size();) {
        if (s[i] == '%' && i + 1 < s.size() && s[i + 1] >= '0' && s[i + 1] <= '9') {
            int number = s[i + 1] - '0';
            std::size_t len = 2;
            if (i + 2 < s.size() && s[i + 2] >= '0' && s[i + 2] <= '9') {
                number = number * 10 + (s[i + 2] - '0');
                len = 3;
            }
            if (number == marker) {
                out += value;
                i += len;
                continue;
            }
            out.append(s, i, len);
            i += len;
            continue;
        }
        out += s[i];
        ++i;
    }
    return out;
}

// By value: without padding, which is the usual case, the text is moved
// through rather than copied.
std::string pad(std::string text, int fieldWidth, char fill) {
    const std::size_t width =
        static_cast<std::size_t>(fieldWidth < 0 ? -static_cast<long>(fieldWidth) : fieldWidth);
    if (text.size() >= width) {
        return text;
    }
    const std::string padding(width - text.size(), fill);
    return fieldWidth < 0 ? text + padding : padding + text;
}

// The digits of value in base (2 to 36, else 10), sign included, written to
// the end of a buffer of kDigitsRoom bytes that ends at end; returns where
// they start.
constexpr std::size_t kDigitsRoom = 72;
char* formatDigits(char* end, int value, int base) {
    if (base < 2 || base > 36) {
        base = 10;
    }
    // Work in the unsigned domain so that INT_MIN has a magnitude.
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(static_cast<long>(value))
                                        : static_cast<unsigned long>(value);
    char* first = end;
    do {
        *--first = "0123456789abcdefghijklmnopqrstuvwxyz"[magnitude % static_cast<unsigned>(base)];
        magnitude /= static_cast<unsigned>(base);
    } while (magnitude != 0);
    if (value < 0) {
        *--first = '-';
    }
    return first;
}

} // namespace

TStr::TStr(const char* utf8) : mBytes(utf8 != nullptr ? utf8 : "") {}

TStr::TStr(const char* bytes, std::size_t length)
    : mBytes(bytes != nullptr ? std::string(bytes, length) : std::string()) {}

TStr::TStr(const std::string& bytes) : mBytes(bytes) {}

TStr::TStr(std::string&& bytes) noexcept : mBytes(std::move(bytes)) {}

bool TStr::operator==(const char* other) const {
    return mBytes == (other != nullptr ? other : "");
}

bool TStr::operator!=(const char* other) const {
    return !(*this == other);
}

TStr TStr::operator+(const TStr& other) const {
    std::string joined;
    joined.reserve(mBytes.size() + other.mBytes.size());
    joined += mBytes;
    joined += other.mBytes;
    return TStr(std::move(joined));
}

TStr TStr::operator+(const char* other) const {
    TStr joined(*this);
    joined += other;
    return joined;
}

TStr& TStr::operator+=(const TStr& other) {
    mBytes += other.mBytes;
    return *this;
}

TStr& TStr::operator+=(const char* other) {
    if (other != nullptr) {
        mBytes += other;
    }
    return *this;
}

TStr& TStr::operator+=(char c) {
    mBytes += c;
    return *this;
}

TStr TStr::right(int n) const {
    if (n <= 0) {
        return TStr();
    }
    // Walk back over n code points; a byte that starts no valid sequence
    // counts as one.
    std::size_t start = mBytes.size();
    int counted = 0;
    while (start > 0 && counted < n) {
        std::size_t candidate = start - 1;
        // A code point is at most four bytes long: look for its lead byte.
        std::size_t back = 0;
        while (back < 3 && candidate > 0 &&
               (static_cast<unsigned char>(mBytes[candidate]) & 0xC0) == 0x80) {
            --candidate;
            ++back;
        }
        if (zorv_detail::utf8SequenceLength(mBytes, candidate) == start - candidate) {
            start = candidate;
        } else {
            start = start - 1;
        }
        ++counted;
    }
    return TStr(mBytes.substr(start));
}

TStr TStr::popString(const TStr& separator) {
    if (separator.mBytes.empty()) {
        TStr whole(std::move(mBytes));
        mBytes.clear();
        return whole;
    }
    // A one-byte separator ("/" for paths, the usual case) is searched for as
    // a byte, which is several times cheaper than the general search.
    const std::string::size_type at = separator.mBytes.size() == 1
                                          ? mBytes.rfind(separator.mBytes[0])
                                          : mBytes.rfind(separator.mBytes);
    if (at == std::string::npos) {
        TStr whole(std::move(mBytes));
        mBytes.clear();
        return whole;
    }
    TStr last(mBytes.substr(at + separator.mBytes.size()));
    mBytes.erase(at);
    return last;
}

TStr TStr::arg(int value, int fieldWidth, int base, char fill) const {
    char digits[kDigitsRoom];
    char* const end = digits + sizeof digits;
    const char* first = formatDigits(end, value, base);
    const std::size_t length = static_cast<std::size_t>(end - first);
    const std::size_t width =
        static_cast<std::size_t>(fieldWidth < 0 ? -static_cast<long>(fieldWidth) : fieldWidth);
    if (mBytes.size() == 2 && mBytes[0] == '%' && mBytes[1] >= '1' && mBytes[1] <= '9' &&
        length >= width) {
        // The template is a marker alone ("%1", the usual way to write a
        // number) and needs no padding: the result is the number itself.
        return TStr(first, length);
    }
    const int marker = lowestMarker(mBytes);
    if (marker == 0) {
        return *this;
    }
    return TStr(replaceMarker(mBytes, marker, pad(std::string(first, length), fieldWidth, fill)));
}

TStr TStr::arg(const TStr& value, int fieldWidth, char fill) const {
    const int marker = lowestMarker(mBytes);
    if (marker == 0) {
        return *this;
    }
    return TStr(replaceMarker(mBytes, marker, pad(value.mBytes, fieldWidth, fill)));
}

bool TStr::isValidUtf8() const {
    return zorv_detail::isValidUtf8(mBytes);
}

const char* TStr::toUtf8() const {
    return zorv_detail::isValidUtf8(mBytes) ? mBytes.c_str() : nullptr;
}

char* TStr::utf8_alloc() const {
    const char* text = toUtf8();
    if (text == nullptr) {
        return nullptr;
    }
    char* copy = static_cast<char*>(std::malloc(mBytes.size() + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, mBytes.size() + 1);
    }
    return copy;
}

void TStr::setUtf8(char* utf8) {
    setUtf8(static_cast<const char*>(utf8));
}

void TStr::setUtf8(const char* utf8) {
    if (utf8 == nullptr) {
        mBytes.clear();
    } else {
        mBytes.assign(utf8);
    }
}

void memory_free(void* p) {
    std::free(p);
}
