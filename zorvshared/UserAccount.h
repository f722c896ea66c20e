#ifndef ZORV_SHARED_USERACCOUNT_H
#define ZORV_SHARED_USERACCOUNT_H

// The effective user as the password database knows it, not as the
// environment says ($HOME, $USER): every process of the user must agree on
// what follows from it (the lock place, the private group).

#include <string>
#include <sys/types.h>

namespace zorv_detail {

struct UserAccount {
    std::string name;
    gid_t group = 0; // the primary group
    std::string home;
};

// False when the database has no entry for the effective user.
bool effectiveUserAccount(UserAccount& account);

} // namespace zorv_detail

#endif
