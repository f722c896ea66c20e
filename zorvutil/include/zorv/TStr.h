#ifndef ZORV_TSTR_H
#define ZORV_TSTR_H

#include "ZorvUtilExport.h"

#include <cstddef>
#include <string>

// A text with value semantics. It holds the bytes it was given, meant as UTF-8;
// whether they really are UTF-8 is checked only where it matters (toUtf8).
class ZORV_UTIL_EXPORT TStr {
public:
    TStr() = default;
    TStr(const char* utf8); // a null pointer gives an empty text
    TStr(const char* bytes, std::size_t length);
    TStr(const std::string& bytes);
    TStr(std::string&& bytes) noexcept;
    TStr(const TStr& other) = default;
    TStr(TStr&& other) noexcept = default;
    TStr& operator=(const TStr& other) = default;
    TStr& operator=(TStr&& other) noexcept = default;
    ~TStr() = default;

    bool isEmpty() const { return mBytes.empty(); }
    void clear() { mBytes.clear(); }

    bool operator==(const TStr& other) const { return mBytes == other.mBytes; }
    bool operator!=(const TStr& other) const { return mBytes != other.mBytes; }
    bool operator==(const char* other) const;
    bool operator!=(const char* other) const;

    TStr operator+(const TStr& other) const;
    TStr operator+(const char* other) const;
    TStr& operator+=(const TStr& other);
    TStr& operator+=(const char* other);
    TStr& operator+=(char c);

    // The last n code points (a byte that starts no valid sequence counts as
    // one); the whole text when n is larger, an empty one when n <= 0.
    TStr right(int n) const;

    // Takes the last piece off: returns what follows the separator's final
    // occurrence and shortens this text to what stood before it. Without
    // the separator (or with an empty one) the whole text is the last piece
    // and this text becomes empty.
    TStr popString(const TStr& separator);

    // Replaces every occurrence of the lowest-numbered marker %1..%99 by the
    // number, written in the given base and padded to |fieldWidth| with fill
    // (left-aligned when fieldWidth is negative). A text without markers is
    // returned unchanged.
    TStr arg(int value, int fieldWidth = 0, int base = 10, char fill = ' ') const;
    TStr arg(const TStr& value, int fieldWidth = 0, char fill = ' ') const;

    // The bytes, NUL-terminated and owned by this text, or null when they are
    // not valid UTF-8 (so that, for instance, a bad path never opens a file).
    const char* toUtf8() const;
    // A copy of toUtf8() allocated for the caller, who releases it with
    // memory_free; null when toUtf8() is null.
    char* utf8_alloc() const;
    // Replaces the contents by the given NUL-terminated bytes (null: empty).
    void setUtf8(char* utf8);
    void setUtf8(const char* utf8);

    // The raw bytes, whatever they hold.
    const std::string& bytes() const { return mBytes; }
    std::size_t byteLength() const { return mBytes.size(); }
    bool isValidUtf8() const;

private:
    std::string mBytes;
};

// Releases memory handed out by the utility library (TStr::utf8_alloc).
ZORV_UTIL_EXPORT void memory_free(void* p);

#endif
