#include "platform/dao/database.h"

#include <limits>
#include <sqlite3.h>

namespace {

void bindValue(sqlite3_stmt *stmt, int index, const QVariant &value, const QString &action)
{
    int rc = SQLITE_OK;
    if (value.isNull()) {
        rc = sqlite3_bind_null(stmt, index);
    } else {
        switch (value.typeId()) {
        case QMetaType::QString: {
            const QByteArray text = value.toString().toUtf8();
            rc = sqlite3_bind_text64(stmt, index, text.constData(), sqlite3_uint64(text.size()), SQLITE_TRANSIENT,
                                     SQLITE_UTF8);
            break;
        }
        case QMetaType::Bool:
        case QMetaType::Int:
        case QMetaType::UInt:
        case QMetaType::Long:
        case QMetaType::LongLong:
        case QMetaType::Short:
        case QMetaType::UShort:
        case QMetaType::Char:
        case QMetaType::SChar:
        case QMetaType::UChar:
            rc = sqlite3_bind_int64(stmt, index, value.toLongLong());
            break;
        case QMetaType::ULong:
        case QMetaType::ULongLong:
            if (value.toULongLong() > quint64(std::numeric_limits<qint64>::max()))
                throw Error(SQLITE_RANGE, action + QStringLiteral(": value ") + QString::number(index) +
                                              QStringLiteral(" is too large for an integer column"));
            rc = sqlite3_bind_int64(stmt, index, value.toLongLong());
            break;
        case QMetaType::Double:
        case QMetaType::Float:
            rc = sqlite3_bind_double(stmt, index, value.toDouble());
            break;
        case QMetaType::QByteArray: {
            const QByteArray bytes = value.toByteArray();
            rc = sqlite3_bind_blob64(stmt, index, bytes.constData(), sqlite3_uint64(bytes.size()), SQLITE_TRANSIENT);
            break;
        }
        default:
            throw Error(SQLITE_MISMATCH, action + QStringLiteral(": value ") + QString::number(index) +
                                             QStringLiteral(" is of a type the database cannot store (") +
                                             QString::fromLatin1(value.typeName()) + QLatin1Char(')'));
        }
    }
    if (rc != SQLITE_OK)
        throw Dao::connectionError(sqlite3_db_handle(stmt), rc, action);
}

} // namespace

Database::Database(Dao::ConnectionPtr connection, QString name)
    : connection_(connection.release(), Dao::ConnectionCloser()), name_(std::move(name))
{
}

Database::~Database()
{
    Close();
}

std::unique_ptr<Recordset> Database::OpenRecordset(const QString &sql, int type, const QVariantList &params)
{
    const QString action = QStringLiteral("Cannot query database ") + quotedPath(name_);
    if (!connection_)
        throw Error(SQLITE_MISUSE, action + QStringLiteral(": the database is closed"));
    if (type != dbOpenDynaset && type != dbOpenSnapshot && type != dbOpenForwardOnly)
        throw Error(SQLITE_MISUSE, action + QStringLiteral(": recordset type ") + QString::number(type) +
                                       QStringLiteral(" is not supported"));

    Dao::StatementPtr stmt = Dao::prepare(connection_.get(), sql, action);
    const int placeholders = sqlite3_bind_parameter_count(stmt.get());
    if (placeholders != params.size())
        throw Error(SQLITE_RANGE, action + QStringLiteral(": the query has ") + QString::number(placeholders) +
                                      QStringLiteral(" placeholders but ") + QString::number(params.size()) +
                                      QStringLiteral(" values were given"));
    for (int i = 0; i < placeholders; ++i)
        bindValue(stmt.get(), i + 1, params.at(i), action);
    return std::make_unique<Recordset>(connection_, std::move(stmt), name_);
}

void Database::Close() noexcept
{
    connection_.reset();
}

const QString &Database::Name() const
{
    return name_;
}
