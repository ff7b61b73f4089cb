// The outside project's own Utils.h, found before any other by its plain
// name. The library's sources never include it.
#ifndef OUTSIDE_UTILS_H
#define OUTSIDE_UTILS_H

inline const char* OutsideProjectName() { return "outside"; }

#endif
