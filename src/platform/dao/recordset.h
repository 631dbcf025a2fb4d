#pragma once

#include "platform/dao/connection.h"

#include <QString>
#include <QVariant>

// The rows of one query, read forward one at a time. Owns its prepared statement and keeps its
// connection alive until it is closed, so it stays usable even when its Database is closed first.
class Recordset {
public:
    // Runs the prepared statement up to its first row. Errors name database.
    Recordset(Dao::SharedConnection connection, Dao::StatementPtr statement, QString database);
    ~Recordset();
    Recordset(const Recordset &) = delete;
    Recordset &operator=(const Recordset &) = delete;

    // True when there is no current row: the query matched nothing, or the recordset is closed.
    // (The login reads the first row only.)
    [[nodiscard]] bool Eof() const;
    // The value of column name (compared without regard to case) in the current row: text as
    // QString, integers as qint64, reals as double, blobs as QByteArray, NULL as a null QVariant.
    [[nodiscard]] QVariant field(const QString &name) const;
    // Finalises the statement and lets go of the connection. Later calls do nothing.
    void Close() noexcept;

private:
    void step();
    void requireRow(const QString &what) const;

    Dao::SharedConnection connection_;
    Dao::StatementPtr statement_;
    QString database_;
    bool eof_ = true;
};
