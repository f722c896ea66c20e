#ifndef ZORV_SHARED_VENDORNAMES_H
#define ZORV_SHARED_VENDORNAMES_H

// The component name of each Zorv::VendorID, as debug records write it and as
// zorvlog accepts it on its command line.

#include <string>

namespace zorv_detail {

// The ids that have a name of their own: 1 to 5 and 7 to 10.
constexpr int kLowestVendorId = 0;
constexpr int kHighestVendorId = 10;

// The name of the id: "None" for 0, 6 and every id outside 0 to 10.
const char* vendorName(int id);

// The id whose name is text, in any case ("zorvqet" is 8); -1 when no id
// has that name. "None" is 0.
int vendorIdOfName(const std::string& text);

} // namespace zorv_detail

#endif
