#pragma once

#include <QString>

// The animation clips, files in the application folder beside the executable.
namespace Clips {
// Sheets of paper flying from one folder to another: backup and restore.
inline const QString FileCopy = QStringLiteral("FILECOPY.AVI");
// A document squeezed in a press: compaction.
inline const QString FileDelete = QStringLiteral("FILEDELR.AVI");
} // namespace Clips
