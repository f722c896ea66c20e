#ifndef ZORV_ERRORLOG_ERRORTABLEINDEX_H
#define ZORV_ERRORLOG_ERRORTABLEINDEX_H

// A loaded error table's answers, found by id and code instead of by walking
// the document for every line of every record. Made once per load, in one
// pass over the document under the rules the walks follow
// (ErrorTableRules.h): a vendor's name comes from the first of its tables
// that has a NAME, its codes from its first table only, the first entry of a
// code decides, and a table without VENDORID or an entry without CODE ends
// the search as it ends a walk. fuzz/FuzzErrorTable.cpp holds the two to
// the same answers.

#include <zorv/TStr.h>

#include <tinyxml.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <unordered_map>

namespace zorv_detail {

class ErrorTableIndex {
public:
    explicit ErrorTableIndex(TiXmlDocument& document);

    // Null where the table has nothing to say, which the look-ups give as an
    // empty text.
    const TStr* vendorName(int vendorId) const;
    const TStr* description(int vendorId, int code) const;

    // The containers' hash, a type of the library's own: their code then
    // stays inside the library instead of joining its exported symbols.
    struct Hash {
        std::size_t operator()(std::uint64_t key) const { return std::hash<std::uint64_t>()(key); }
    };

private:
    void addCodes(int vendorId, TiXmlElement* table);

    std::unordered_map<int, TStr, Hash> mNames;
    // Keyed by vendor id and code together.
    std::unordered_map<std::uint64_t, TStr, Hash> mDescriptions;
};

} // namespace zorv_detail

#endif
