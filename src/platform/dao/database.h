#pragma once

#include "platform/dao/connection.h"
#include "platform/dao/recordset.h"

#include <QString>
#include <QVariantList>

#include <memory>

// Recordset types. All three read the rows forward; the engine treats them alike.
inline constexpr int dbOpenDynaset = 2;
inline constexpr int dbOpenSnapshot = 4;
inline constexpr int dbOpenForwardOnly = 8;

// One open connection to a database file, made by DBEngine::OpenDatabase.
class Database {
public:
    Database(Dao::ConnectionPtr connection, QString name);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;

    // Runs one SQL statement with params bound, in order, to its "?" placeholders (QString as
    // text, integers and bools as integers, doubles as reals, QByteArray as a blob, a null or
    // invalid QVariant as NULL). Values are never pasted into the SQL text, so a "'" in a value
    // is just a character. The number of values must match the placeholders.
    [[nodiscard]] std::unique_ptr<Recordset> OpenRecordset(const QString &sql, int type = dbOpenDynaset,
                                                           const QVariantList &params = {});
    // Closes the connection; a recordset still open keeps it until that recordset is closed.
    // Later calls do nothing.
    void Close() noexcept;
    // The path the database was opened with.
    const QString &Name() const;

private:
    Dao::SharedConnection connection_;
    QString name_;
};
