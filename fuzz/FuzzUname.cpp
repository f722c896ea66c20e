// Arbitrary bytes as output of "uname -a", read the way the library reads it:
// in pieces of at most 2047 bytes that end after a newline, each piece split
// into tokens. Every piece is checked against a plain split at spaces.
#include "UnameParser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

// fgets with a buffer of 2048 bytes gives at most 2047 bytes, up to and
// including a newline.
constexpr std::size_t kPieceLimit = 2047;

std::vector<std::string> splitAtSpaces(const std::string& piece) {
    std::vector<std::string> tokens;
    std::string current;
    for (char c : piece) {
        if (c == ' ') {
            if (!current.empty()) {
                tokens.push_back(current);
                current.clear();
            }
        } else {
            current += c;
        }
    }
    if (!current.empty()) {
        tokens.push_back(current);
    }
    return tokens;
}

void checkPiece(const std::string& piece) {
    const zorv_detail::UnameFields fields =
        zorv_detail::parseUnamePiece(piece.data(), piece.size());
    const std::vector<std::string> tokens = splitAtSpaces(piece);
    if (fields.hasNode != (tokens.size() >= 2) || fields.hasRelease != (tokens.size() >= 3)) {
        std::abort();
    }
    if (fields.hasNode && fields.node != tokens[1]) {
        std::abort();
    }
    if (fields.hasRelease && fields.release != tokens[2]) {
        std::abort();
    }
    if (!fields.hasNode && !fields.node.empty()) {
        std::abort();
    }
    if (!fields.hasRelease && !fields.release.empty()) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* bytes = reinterpret_cast<const char*>(data);
    std::size_t offset = 0;
    while (offset < size) {
        std::size_t end = offset;
        while (end < size && end - offset < kPieceLimit) {
            // fgets stops at a NUL too as far as the caller can tell: the
            // piece is a C string from there on.
            if (bytes[end++] == '\n') {
                break;
            }
        }
        std::string piece(bytes + offset, end - offset);
        piece.resize(std::char_traits<char>::length(piece.c_str()));
        checkPiece(piece);
        offset = end;
    }
    return 0;
}
