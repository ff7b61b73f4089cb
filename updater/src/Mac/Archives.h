// Finding the two archives in the install directory and opening them, so
// that what is checked is what unzip reads.
#ifndef QUORANE_UPDATER_ARCHIVES_H
#define QUORANE_UPDATER_ARCHIVES_H

#include <optional>
#include <string>

#include "base/FileDescriptor.h"

namespace quorane::updater {

struct Archive {
    std::string name;          // relative to the install directory, "." and ".." resolved
    FileDescriptor directory;  // the directory that holds it, when that exists
    std::string fileName;      // its name in that directory
    FileDescriptor file;       // open for reading when it is there and readable
    bool present = false;      // a regular file of that name is there
};

// The archive name with "." and ".." resolved lexically, or nothing when it
// climbs out of the install directory, names the directory itself or passes
// through a bundle.
std::optional<std::string> NormalisedArchiveName(const std::string& name);

// Whether the open directory `dir` is the install directory or lies below it
// outside both bundles.
bool InsideInstall(int dir, int install);

// Finds and opens the archive, or nothing when it must be refused: it is a
// directory or another kind of file than a regular one (links followed), it
// lies outside the install directory or in a bundle, or its kind cannot be
// told. A missing archive, or one in a directory that does not exist, is no
// reason to refuse; neither is one that may not be read (it fails the swap).
std::optional<Archive> FindArchive(int install, const std::string& name);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_ARCHIVES_H
