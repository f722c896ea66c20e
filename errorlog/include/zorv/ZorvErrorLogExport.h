#ifndef ZORV_ERRORLOG_EXPORT_H
#define ZORV_ERRORLOG_EXPORT_H

#define ZORV_ERRORLOG_EXPORT __attribute__((visibility("default")))
// A private helper of an exported class: not part of the binary interface, so
// that the library may change it freely.
#define ZORV_ERRORLOG_INTERNAL __attribute__((visibility("hidden")))

#endif
