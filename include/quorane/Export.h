// QUORANE_API marks what the shared library exports: the documented
// functions, the file class and the platform string calls. Everything else
// is built hidden and stays inside the library.
#ifndef QUORANE_EXPORT_H
#define QUORANE_EXPORT_H

#if defined(__GNUC__) || defined(__clang__)
#define QUORANE_API __attribute__((visibility("default")))
#else
#define QUORANE_API
#endif

#endif  // QUORANE_EXPORT_H
