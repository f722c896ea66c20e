#include "output/TerminalText.h"

#include "Utf8.h"
#include "output/PlainText.h"

#include <cstdio>

namespace zorvlog {

namespace {

// The code point of a well-formed sequence of `length` bytes.
unsigned long codePoint(const unsigned char* p, std::size_t length) {
    static const unsigned char kLead[] = {0, 0x7f, 0x1f, 0x0f, 0x07};
    unsigned long cp = p[0] & kLead[length];
    for (std::size_t i = 1; i < length; ++i) {
        cp = (cp << 6) | (p[i] & 0x3f);
    }
    return cp;
}

bool shownAsEscape(unsigned long cp) {
    return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f) || cp == 0x061c || cp == 0x200e ||
           cp == 0x200f || (cp >= 0x202a && cp <= 0x202e) || (cp >= 0x2066 && cp <= 0x2069);
}

void appendEscape(TextBuffer& out, const char* format, unsigned long value) {
    char text[12];
    std::snprintf(text, sizeof text, format, value);
    out += text;
}

void appendEscaped(TextBuffer& out, const unsigned char* p, long length, unsigned long cp) {
    if (length <= 0) {
        appendEscape(out, "\\x%02lx", *p);
    } else if (cp == '\\' || cp == '"') {
        out += '\\';
        out += static_cast<char>(cp);
    } else if (cp == '\n' || cp == '\t' || cp == '\r') {
        out += cp == '\n' ? "\\n" : cp == '\t' ? "\\t" : "\\r";
    } else {
        appendEscape(out, cp < 0x80 ? "\\x%02lx" : "\\u%04lx", cp);
    }
}

// Escapes data into *out; with no out, stops at the first character that
// would be escaped. Returns whether any was.
bool escape(TextBuffer* out, const char* data, std::size_t size, bool quoted) {
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const auto* end = p + size;
    bool escaped = false;
    while (p < end) {
        // Printable ASCII goes as it is, a run at a time.
        const auto* run = p + plainRun(reinterpret_cast<const char*>(p),
                                       static_cast<std::size_t>(end - p), !quoted);
        if (run > p) {
            if (out != nullptr) {
                out->append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(run - p));
            }
            p = run;
            continue;
        }
        const long length = zorv_detail::utf8SequenceAt(p, end);
        const unsigned long cp = length > 0 ? codePoint(p, static_cast<std::size_t>(length)) : 0;
        const bool plain = length > 1 && !shownAsEscape(cp);
        if (!plain && out == nullptr) {
            return true;
        }
        escaped = escaped || !plain;
        // Without out, only whether anything is escaped is asked.
        if (out != nullptr && plain) {
            out->append(reinterpret_cast<const char*>(p), static_cast<std::size_t>(length));
        } else if (out != nullptr) {
            appendEscaped(*out, p, length, cp);
        }
        p += length > 0 ? length : 1;
    }
    return escaped;
}

} // namespace

void appendForTerminal(TextBuffer& out, const char* data, std::size_t size, bool quoted) {
    escape(&out, data, size, quoted);
}

std::string forTerminal(const std::string& text) {
    TextBuffer out;
    escape(&out, text.data(), text.size(), false);
    return std::string(out.view());
}

bool terminalPlain(const char* data, std::size_t size) {
    return !escape(nullptr, data, size, true);
}

} // namespace zorvlog
