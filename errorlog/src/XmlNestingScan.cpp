#include "XmlNestingScan.h"

namespace zorv_detail {

namespace {

enum class State {
    Text,     // character data between markup
    Open,     // just after '<'
    Bang,     // after "<!", still deciding between comment, CDATA and the rest
    Comment,  // inside "<!--", until "-->"
    CData,    // inside "<![CDATA[", until "]]>"
    Skip,     // any other "<!" or "<?" construct, or an end tag: until the first '>'
    Tag,      // inside a start tag, after '<' and the first character of its name
    TagSlash, // a '/' inside a start tag
    Quoted,   // inside a quoted attribute value
};

bool startsElementName(unsigned char c) {
    // TinyXML takes every byte from 127 up for a letter of some script.
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c >= 127;
}

constexpr char kCommentOpen[] = "--";    // after "<!"
constexpr char kCDataOpen[] = "[CDATA["; // after "<!"
constexpr std::size_t kCommentOpenLength = 2;
constexpr std::size_t kCDataOpenLength = 7;

} // namespace

std::size_t xmlNestingDepth(const char* data, std::size_t size, std::size_t stopAbove) {
    State state = State::Text;
    std::size_t depth = 0;
    std::size_t deepest = 0;
    std::size_t matched = 0; // characters of "--" or "[CDATA[" seen after "<!"
    std::size_t run = 0;     // closing '-' or ']' seen in a row
    char quote = '\0';

    for (std::size_t i = 0; i < size; ++i) {
        const char c = data[i];
        switch (state) {
        case State::Text:
            if (c == '<') {
                state = State::Open;
            }
            break;
        case State::Open:
            if (c == '/') {
                // The parser checks the name against the open element and gives
                // up on a mismatch, so counting every end tag never undercounts.
                if (depth > 0) {
                    --depth;
                }
                state = State::Skip;
            } else if (c == '!') {
                matched = 0;
                state = State::Bang;
            } else if (startsElementName(static_cast<unsigned char>(c))) {
                if (++depth > deepest) {
                    deepest = depth;
                    if (deepest > stopAbove) {
                        return stopAbove + 1;
                    }
                }
                state = State::Tag;
            } else if (c == '>') {
                state = State::Text;
            } else {
                // "<?..." included: TinyXML ends every such construct at its
                // first '>', not at "?>", and so must we, or elements that the
                // parser sees after that '>' would go uncounted.
                state = State::Skip;
            }
            break;
        case State::Bang: {
            const bool comment = matched < kCommentOpenLength && c == kCommentOpen[matched];
            const bool cdata = matched < kCDataOpenLength && c == kCDataOpen[matched];
            // Both openers cannot match at once: they differ in their first character.
            if (comment || cdata) {
                ++matched;
                run = 0;
                if (comment && matched == kCommentOpenLength) {
                    state = State::Comment;
                } else if (cdata && matched == kCDataOpenLength) {
                    state = State::CData;
                }
            } else {
                state = (c == '>') ? State::Text : State::Skip;
            }
            break;
        }
        case State::Comment:
            if (c == '>' && run >= 2) {
                state = State::Text;
            }
            run = (c == '-') ? run + 1 : 0;
            break;
        case State::CData:
            if (c == '>' && run >= 2) {
                state = State::Text;
            }
            run = (c == ']') ? run + 1 : 0;
            break;
        case State::Skip:
            if (c == '>') {
                state = State::Text;
            }
            break;
        case State::Tag:
            if (c == '"' || c == '\'') {
                // Outside a value the parser rejects a quote, so every quote it
                // accepts in a start tag opens or closes a value.
                quote = c;
                state = State::Quoted;
            } else if (c == '/') {
                state = State::TagSlash;
            } else if (c == '>') {
                state = State::Text;
            }
            break;
        case State::TagSlash:
            if (c == '>') {
                --depth; // self-closing: nothing stays open
                state = State::Text;
            } else {
                // The parser fails here; go on as if the '/' were not there.
                state = State::Tag;
                --i;
            }
            break;
        case State::Quoted:
            if (c == quote) {
                state = State::Tag;
            }
            break;
        }
    }
    return deepest;
}

} // namespace zorv_detail
