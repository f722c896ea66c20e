#ifndef ZORV_SHARED_ENVIRONMENT_H
#define ZORV_SHARED_ENVIRONMENT_H

// How the product reads its environment. A process that runs with rights its
// caller does not have (a setuid or setgid program: secure execution) takes
// nothing from it, since the caller chose every variable: it reads none, and
// falls back to what the system says (the password database, the defaults).

namespace zorv_detail {

// Whether this process runs in secure execution (AT_SECURE).
bool secureExecution();

// The value of the variable, or null when it is unset or the process runs in
// secure execution.
const char* environmentValue(const char* name);

} // namespace zorv_detail

#endif
