#ifndef ZORV_ERRORLOG_EXPORT_H
#define ZORV_ERRORLOG_EXPORT_H

#define ZORV_ERRORLOG_EXPORT __attribute__((visibility("default")))

#endif
