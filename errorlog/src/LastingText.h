#ifndef ZORV_ERRORLOG_LASTINGTEXT_H
#define ZORV_ERRORLOG_LASTINGTEXT_H

// A constant text the records write (a key, a number template), made once
// as the library loads rather than for every record, and never destroyed: a
// record may be logged by a clean-up at exit, after the library's statics
// have gone, and still finds it. The text lives inside the object (the keys
// are short enough for TStr to keep them without an allocation), so that
// nothing is left behind when the library is unloaded.

#include <zorv/TStr.h>

#include <new>

namespace zorv_detail {

class LastingText {
public:
    explicit LastingText(const char* text) { new (mRoom) TStr(text); }
    operator const TStr&() const { return *std::launder(reinterpret_cast<const TStr*>(mRoom)); }

private:
    alignas(TStr) unsigned char mRoom[sizeof(TStr)];
};

} // namespace zorv_detail

#endif
