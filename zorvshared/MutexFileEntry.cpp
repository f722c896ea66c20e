#include "MutexFileEntry.h"

#include "SystemCalls.h"

#include "Fnv1a.h"

namespace zorv_detail {

namespace {

// Longest name used as the file name as it stands.
constexpr std::size_t kMaxPlainName = 200;

bool isPlainByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool isPlainName(const std::string& name) {
    if (name.empty() || name.size() > kMaxPlainName || name == "." || name == "..") {
        return false;
    }
    for (unsigned char c : name) {
        if (!isPlainByte(c)) {
            return false;
        }
    }
    return true;
}

std::string hashedFileName(std::uint64_t hash) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string fileName("h-");
    for (int shift = 60; shift >= 0; shift -= 4) {
        fileName += kHex[(hash >> shift) & 0xF];
    }
    return fileName;
}

} // namespace

std::string mutexFileEntry(const std::string& name) {
    return (isPlainName(name) ? name : hashedFileName(fnv1a64(name))) + kMutexFileSuffix;
}

std::string logMutexName(const std::string& path) {
    const std::string_view component = lastComponentOf(path);
    return component.empty() ? std::string() : std::string(component) + ".Mutex";
}

} // namespace zorv_detail
