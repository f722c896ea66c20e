#include "ErrorTableIndex.h"

#include "ErrorTableRules.h"

#include <unordered_set>

namespace zorv_detail {

namespace {

std::uint64_t codeKey(int vendorId, int code) {
    return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(vendorId)) << 32) |
           static_cast<std::uint32_t>(code);
}

TStr textOf(const TiXmlElement* element) {
    return TStr(element != nullptr ? element->GetText() : nullptr);
}

template <class Map, class Key> const TStr* find(const Map& map, const Key& key) {
    const auto found = map.find(key);
    return found != map.end() ? &found->second : nullptr;
}

} // namespace

ErrorTableIndex::ErrorTableIndex(TiXmlDocument& document) {
    std::unordered_set<int, Hash> indexedVendors;
    for (TiXmlElement* table = firstTable(document); table != nullptr;
         table = nextElement(table->NextSibling())) {
        int vendorId = 0;
        const Key key = readKey(table, kVendorIdAttribute, vendorId);
        if (key == Key::Missing) {
            break;
        }
        if (key != Key::Read) {
            continue;
        }
        // A name, even an empty one, is the vendor's for good once a table gave it.
        if (mNames.find(vendorId) == mNames.end()) {
            if (TiXmlElement* name = firstChildElement(table, kNameElement)) {
                mNames.emplace(vendorId, textOf(name));
            }
        }
        if (indexedVendors.insert(vendorId).second) {
            addCodes(vendorId, table);
        }
    }
}

void ErrorTableIndex::addCodes(int vendorId, TiXmlElement* table) {
    // From the first ERROR on, every element is an entry, whatever its name.
    for (TiXmlElement* error = nextElement(firstChildElement(table, kErrorElement));
         error != nullptr; error = nextElement(error->NextSibling())) {
        int code = 0;
        const Key key = readKey(error, kCodeAttribute, code);
        if (key == Key::Missing) {
            return;
        }
        if (key == Key::Read) {
            // emplace keeps the first entry of a code.
            mDescriptions.emplace(codeKey(vendorId, code),
                                  textOf(firstChildElement(error, kDescriptionElement)));
        }
    }
}

const TStr* ErrorTableIndex::vendorName(int vendorId) const {
    return find(mNames, vendorId);
}

const TStr* ErrorTableIndex::description(int vendorId, int code) const {
    return find(mDescriptions, codeKey(vendorId, code));
}

} // namespace zorv_detail
