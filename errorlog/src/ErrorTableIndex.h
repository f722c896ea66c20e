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

#include <cstdint>
#include <unordered_map>

namespace zorv_detail {

class ErrorTableIndex {
public:
    explicit ErrorTableIndex(TiXmlDocument& document);

    // Null where the table has nothing to say, which the look-ups give as an
    // empty text.
    const TStr* vendorName(int vendorId) const;
    const TStr* description(int vendorId, int code) const;

private:
    void addCodes(int vendorId, TiXmlElement* table);

    std::unordered_map<int, TStr> mNames;
    // Keyed by vendor id and code together.
    std::unordered_map<std::uint64_t, TStr> mDescriptions;
};

} // namespace zorv_detail

#endif
