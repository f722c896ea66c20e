#ifndef ZORV_ERRORLOG_LASTINGTEXT_H
#define ZORV_ERRORLOG_LASTINGTEXT_H

// A constant text the records write (a key, a number template), made once
// as the library loads rather than for every record, and never destroyed: a
// record may be logged by a clean-up at exit, after the library's statics
// have gone, and still finds it.

#include <zorv/TStr.h>

namespace zorv_detail {

class LastingText {
public:
    explicit LastingText(const char* text) : mText(new TStr(text)) {}
    operator const TStr&() const { return *mText; }

private:
    const TStr* mText;
};

} // namespace zorv_detail

#endif
