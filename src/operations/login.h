#pragma once

#include <QString>

namespace Operations {

// The login's check: whether the table User of the database at path holds a row whose UserName is
// userName upper-cased and whose UserPassword is password, both texts compared exactly, character
// for character, whatever type and collation the table declares for its columns. Opens the
// database, queries it and closes it again. Throws Error when the file cannot be opened as a
// database or holds no such table.
[[nodiscard]] bool credentialsMatch(const QString &path, const QString &userName, const QString &password);

} // namespace Operations
