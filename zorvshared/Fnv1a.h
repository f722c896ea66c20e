#ifndef ZORV_SHARED_FNV1A_H
#define ZORV_SHARED_FNV1A_H

// 64-bit FNV-1a: the hash that names a mutex file whose name is not plain,
// and the key of a log file's path that the holders of its mutex compare.

#include <cstdint>
#include <string>

namespace zorv_detail {

inline std::uint64_t fnv1a64(const std::string& bytes) {
    std::uint64_t hash = 14695981039346656037ull; // offset basis
    for (unsigned char c : bytes) {
        hash = (hash ^ c) * 1099511628211ull; // prime
    }
    return hash;
}

} // namespace zorv_detail

#endif
