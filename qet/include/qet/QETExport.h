#ifndef QET_EXPORT_H
#define QET_EXPORT_H

// The application libraries build with hidden visibility; what main, qet-send
// and the tests use is exported explicitly.
#define QET_EXPORT __attribute__((visibility("default")))

#endif
