#ifndef ZORV_UTIL_EXPORT_H
#define ZORV_UTIL_EXPORT_H

// The libraries build with hidden visibility; only what carries one of these
// macros is part of their binary interface.
#define ZORV_UTIL_EXPORT __attribute__((visibility("default")))

#endif
