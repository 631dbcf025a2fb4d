#pragma once

#include <QList>
#include <QStringList>

// Which processes hold a file open. Used before a database file is replaced: a program that has
// it open would go on reading and writing the old file (or pair the new one with its journal).
namespace InUse {

// The ids of the processes, this one included, that hold one of paths open, in increasing
// order, each once. A path counts by the file it names (device and inode), so another name or
// a link to the same file is found too. Paths that name no file are skipped. Processes whose
// open files this one may not look at (another user's, without the rights) are not seen; where
// the platform offers no such look-up the list is empty.
[[nodiscard]] QList<qint64> processesUsing(const QStringList &paths);

} // namespace InUse
