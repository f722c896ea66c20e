#include "UnameParser.h"

namespace zorv_detail {

UnameFields parseUnamePiece(const char* piece, std::size_t length) {
    UnameFields fields;
    std::size_t i = 0;
    for (int token = 0; token < 3; ++token) {
        while (i < length && piece[i] == ' ') {
            ++i;
        }
        if (i == length) {
            break;
        }
        const std::size_t start = i;
        while (i < length && piece[i] != ' ') {
            ++i;
        }
        if (token == 1) {
            fields.hasNode = true;
            fields.node.assign(piece + start, i - start);
        } else if (token == 2) {
            fields.hasRelease = true;
            fields.release.assign(piece + start, i - start);
        }
    }
    return fields;
}

} // namespace zorv_detail
