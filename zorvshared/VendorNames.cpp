#include "VendorNames.h"

#include <strings.h>

namespace zorv_detail {

namespace {
// Indexed by id; 6 was never given a component.
const char* const kNames[] = {"None",  "ZorvCore", "ZorvLumen", "Brakka",  "BrakkaBoot", "ZorvPod",
                              nullptr, "ZorvLoom", "ZorvQet",   "ZorvWyn", "ZorvFell"};
} // namespace

const char* vendorName(int id) {
    if (id < kLowestVendorId || id > kHighestVendorId || kNames[id] == nullptr) {
        return kNames[0];
    }
    return kNames[id];
}

int vendorIdOfName(const std::string& text) {
    for (int id = kLowestVendorId; id <= kHighestVendorId; ++id) {
        if (kNames[id] != nullptr && ::strcasecmp(text.c_str(), kNames[id]) == 0) {
            return id;
        }
    }
    return -1;
}

} // namespace zorv_detail
