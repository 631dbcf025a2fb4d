#include "platform/dao/recordset.h"

#include <sqlite3.h>

Recordset::Recordset(Dao::SharedConnection connection, Dao::StatementPtr statement, QString database)
    : connection_(std::move(connection)), statement_(std::move(statement)), database_(std::move(database))
{
    step();
}

Recordset::~Recordset()
{
    Close();
}

bool Recordset::Eof() const
{
    return eof_;
}

QVariant Recordset::field(const QString &name) const
{
    requireRow(QStringLiteral("Cannot read field ") + name);
    sqlite3_stmt *stmt = statement_.get();
    const int count = sqlite3_column_count(stmt);
    for (int i = 0; i < count; ++i) {
        if (QString::fromUtf8(sqlite3_column_name(stmt, i)).compare(name, Qt::CaseInsensitive) != 0)
            continue;
        switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
            return QVariant(qint64(sqlite3_column_int64(stmt, i)));
        case SQLITE_FLOAT:
            return QVariant(sqlite3_column_double(stmt, i));
        case SQLITE_TEXT:
            return QVariant(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, i)),
                                              sqlite3_column_bytes(stmt, i)));
        case SQLITE_BLOB:
            return QVariant(
                QByteArray(static_cast<const char *>(sqlite3_column_blob(stmt, i)), sqlite3_column_bytes(stmt, i)));
        default:
            return QVariant();
        }
    }
    throw Error(SQLITE_ERROR, QStringLiteral("Cannot read field ") + name + QStringLiteral(" from database ") +
                                  quotedPath(database_) + QStringLiteral(": the query has no such column"));
}

void Recordset::Close() noexcept
{
    statement_.reset();
    connection_.reset();
    eof_ = true;
}

void Recordset::step()
{
    const int rc = sqlite3_step(statement_.get());
    if (rc == SQLITE_ROW) {
        eof_ = false;
        return;
    }
    eof_ = true;
    if (rc != SQLITE_DONE) {
        const Error error = Dao::connectionError(connection_.get(), rc,
                                                 QStringLiteral("Cannot read from database ") + quotedPath(database_));
        Close();
        throw error;
    }
}

void Recordset::requireRow(const QString &what) const
{
    if (!statement_)
        throw Error(SQLITE_MISUSE, what + QStringLiteral(": the recordset is closed"));
    if (eof_)
        throw Error(SQLITE_MISUSE, what + QStringLiteral(": there is no current row"));
}
