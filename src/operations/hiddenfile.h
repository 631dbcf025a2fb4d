#pragma once

#include <QString>
#include <QStringList>

#include <sys/types.h>

namespace Operations {

// A new, empty file under a hidden name beside another path: "." and that path's file name,
// "." and a purpose, "-" and a random tag. The existence test never sees it. Removed, with any
// journal SQLite left beside it, when this object goes, whatever happened in between.
class HiddenFile {
public:
    // Creates the file with mode (less the umask). Throws Error (errno) naming action.
    HiddenFile(const QString &beside, const QString &purpose, mode_t mode, const QString &action);
    ~HiddenFile();
    HiddenFile(const HiddenFile &) = delete;
    HiddenFile &operator=(const HiddenFile &) = delete;
    const QString &path() const { return path_; }

private:
    QString path_;
};

// Removes what runs stopped midway (killed, a power cut) left under hidden names beside each of
// paths: the temporary file of its replacement, staged restores and snapshots, their temporary
// files and journals. Only regular files untouched for a day go, so that a run still going in
// another instance keeps its own; no other file is touched. Hidden, such files would otherwise
// take room unseen until the disk fills up. Best effort: what cannot be removed stays.
void removeStaleLeftovers(const QStringList &paths) noexcept;

} // namespace Operations
