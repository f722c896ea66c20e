#ifndef ZORV_VENDORID_H
#define ZORV_VENDORID_H

namespace Zorv {

// The in-house components. An error record's vendor and the table's
// "VENDORID" attribute use one numbering. 6 has no enumerator.
enum VendorID : int {
    kNone = 0,
    kZorvCore = 1,
    kZorvLumen = 2,
    kBrakka = 3,
    kBrakkaBoot = 4,
    kZorvPod = 5,
    kZorvLoom = 7,
    kZorvQet = 8,
    kZorvWyn = 9,
    kZorvFell = 10,
};

} // namespace Zorv

#endif
