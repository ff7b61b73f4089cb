// The scan of an archive's bytes for the backup names its entries may reach.
#ifndef QUORANE_UPDATER_BACKUP_NUMBERS_H
#define QUORANE_UPDATER_BACKUP_NUMBERS_H

#include <bitset>

namespace quorane::updater {

// The backup numbers, each marked when something rules it out.
using BackupNumbers = std::bitset<1000>;

// Marks in `named` every backup number that the bytes of the open archive
// spell after a bundle's name and a dot ("quoranees.app.42", letters in any
// case), each run of up to three digits read as every number it begins with.
// An archive keeps its entry names as they are, in its central directory, its
// local headers and any Unicode name field, so whatever name unzip gives an
// entry, one that leads into a backup is marked; a match by chance inside
// compressed data only rules out one more number. False when the archive
// cannot be read to its end.
bool MarkNamedBackups(int archive, BackupNumbers& named);

}  // namespace quorane::updater

#endif  // QUORANE_UPDATER_BACKUP_NUMBERS_H
