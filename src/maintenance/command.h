#pragma once

#include <QStringList>

class QTextStream;

// The command line of tarvos-maintenance.
namespace Maintenance {

// Exit statuses.
inline constexpr int Done = 0;
inline constexpr int Failed = 1; // an operation refused or failed; its message says why
inline constexpr int Usage = 2;  // the command line is wrong

// Runs the command line args (the program's name left out): results go to out, messages to err,
// and, when progress is true (err is a terminal), a progress bar per step. Returns the exit status.
int run(const QStringList &args, QTextStream &out, QTextStream &err, bool progress);

} // namespace Maintenance
