// A header named like one of the library's private ones, on the outside
// project's include path; the library's build must never pick it up.
#error "the outside project's base/Text.h was included"
