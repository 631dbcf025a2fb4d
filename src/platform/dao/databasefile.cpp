#include "platform/dao/databasefile.h"

#include "platform/errors.h"
#include "platform/fs/folder.h"

#include <QCryptographicHash>

#include <cerrno>
#include <sqlite3.h>

namespace DatabaseFile {

namespace {

// The first 20 bytes of the file at path (whose links are followed as Fs::resolve does), as far
// as it has them. Where the file cannot be opened or read, error gets errno's value and the header
// is empty; else error is 0.
QByteArray headerOf(const QString &path, int &error)
{
    try {
        const Fs::Location file = Fs::resolve(path, QStringLiteral("Cannot read ") + quotedPath(path));
        const Fs::Fd fd = file.folder.openForReading(file.name, QStringLiteral("Cannot read ") + quotedPath(path));
        char header[20];
        const qint64 n = Fs::readAt(fd.get(), header, sizeof header, 0, path);
        error = 0;
        return QByteArray(header, qsizetype(n));
    } catch (const Error &e) {
        error = int(e.number());
        return {};
    }
}

bool hasDatabaseHeader(const QByteArray &header)
{
    return header.startsWith(QByteArrayView("SQLite format 3\0", 16));
}

} // namespace

bool isSqliteDatabase(const QString &path)
{
    int error;
    return hasDatabaseHeader(headerOf(path, error));
}

bool isDamagedDatabase(const Error &e)
{
    const long code = e.number() & 0xff;
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB;
}

bool isSqliteDatabase(int fd)
{
    char header[16];
    try {
        return Fs::readAt(fd, header, sizeof header, 0, QString()) == qint64(sizeof header) &&
               hasDatabaseHeader(QByteArray(header, sizeof header));
    } catch (const Error &) {
        return false;
    }
}

namespace {

// The big-endian number of bytes bytes at offset at of the header h.
quint64 headerNumber(const unsigned char *h, int at, int bytes)
{
    quint64 v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | h[at + i];
    return v;
}

// The page size the header h gives: a power of two from 512 to 65536 (1 stands for 65536), or 0.
quint64 pageSizeOf(const unsigned char *h)
{
    const quint64 size = headerNumber(h, 16, 2) == 1 ? 65536 : headerNumber(h, 16, 2);
    return size < 512 || size > 65536 || (size & (size - 1)) != 0 ? 0 : size;
}

} // namespace

void requireDatabaseStart(const char *head, std::size_t n, quint64 size, const QString &source)
{
    const auto refuse = [&](const QString &why) {
        return Error(ErrorNumber::BadFileFormat, quotedPath(source) + QStringLiteral(" holds no database (") + why +
                                                     QStringLiteral("); nothing was changed"));
    };
    const auto *h = reinterpret_cast<const unsigned char *>(head);
    if (n < 100 || !hasDatabaseHeader(QByteArray(head, 16)))
        throw refuse(QStringLiteral("it does not begin with the SQLite header"));
    const quint64 pageSize = pageSizeOf(h);
    if (pageSize == 0)
        throw refuse(QStringLiteral("its page size is not valid"));
    if (size < pageSize || size % pageSize != 0)
        throw refuse(QStringLiteral("its size, %1 bytes, is not a whole number of its pages of %2 bytes")
                         .arg(size)
                         .arg(pageSize));
    // The header's page count counts only while the change counter matches the number it was
    // written with.
    const quint64 counted = headerNumber(h, 28, 4);
    if (counted != 0 && headerNumber(h, 24, 4) == headerNumber(h, 92, 4) && counted * pageSize != size)
        throw refuse(QStringLiteral("its header counts %1 pages, but it holds %2").arg(counted).arg(size / pageSize));
}

bool isInWalMode(int fd, const QString &path)
{
    char header[20];
    if (Fs::readAt(fd, header, sizeof header, 0, path) < qint64(sizeof header))
        return false;
    const QByteArray bytes(header, sizeof header);
    return hasDatabaseHeader(bytes) && bytes.mid(18, 2) == QByteArray("\2\2", 2);
}

quint64 pageSize(int fd, const QString &path)
{
    unsigned char h[20];
    if (Fs::readAt(fd, reinterpret_cast<char *>(h), sizeof h, 0, path) < qint64(sizeof h))
        return 0;
    return pageSizeOf(h);
}

void markRollbackJournalMode(int fd, const QString &path)
{
    Fs::writeAt(fd, "\1\1", 2, 18, path);
}

void requireDatabaseImage(int fd, const QString &source)
{
    const auto refuse = [&](const QString &why) {
        return Error(ErrorNumber::BadFileFormat, quotedPath(source) + QStringLiteral(" holds no database (") + why +
                                                     QStringLiteral("); nothing was changed"));
    };
    unsigned char h[100];
    const qint64 n = Fs::readAt(fd, reinterpret_cast<char *>(h), sizeof h, 0, source);
    const Fs::Status st = Fs::statusOf(fd, source);
    if (n < qint64(sizeof h) || !hasDatabaseHeader(QByteArray(reinterpret_cast<const char *>(h), 20)))
        throw refuse(QStringLiteral("it does not begin with the SQLite header"));
    // The page size: a power of two from 512 to 65536, where 1 stands for 65536.
    const auto be = [&](int at, int bytes) {
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | h[at + i];
        return v;
    };
    const quint64 pageSize = be(16, 2) == 1 ? 65536 : be(16, 2);
    if (pageSize < 512 || pageSize > 65536 || (pageSize & (pageSize - 1)) != 0)
        throw refuse(QStringLiteral("its page size is not valid"));
    const quint64 pages = quint64(st.size) / pageSize;
    if (pages == 0)
        throw refuse(QStringLiteral("it is shorter than one page"));
    // The header's page count counts only while the change counter matches the number it was
    // written with; SQLite then refuses a file shorter than the count.
    const quint64 counted = be(28, 4);
    if (counted != 0 && be(24, 4) == be(92, 4) && counted > pages)
        throw refuse(QStringLiteral("it is cut short: %1 of its %2 pages are there").arg(pages).arg(counted));
}

bool isInWalMode(const QString &path)
{
    // Bytes 18 and 19 of the header, the file format's write and read versions, are 2 in
    // write-ahead-log mode and 1 otherwise. A header that cannot be read is an error, not the
    // other mode: a compaction that took it for one would leave its copy in the wrong mode.
    int error;
    const QByteArray header = headerOf(path, error);
    if (error != 0)
        throw Error::fromErrno(error, QStringLiteral("Cannot read the header of ") + quotedPath(path));
    return hasDatabaseHeader(header) && header.mid(18, 2) == QByteArray("\2\2", 2);
}

QString journalMode(sqlite3 *db, const QString &action)
{
    return Dao::queryText(db, QStringLiteral("PRAGMA journal_mode"), action).toLower();
}

QStringList ordinaryTables(sqlite3 *db, const QString &action)
{
    return Dao::queryColumn(db,
                            QStringLiteral("SELECT name FROM sqlite_master WHERE type = 'table' "
                                           "AND coalesce(sql, '') NOT LIKE 'CREATE VIRTUAL TABLE%' ORDER BY name"),
                            action);
}

QString quotedName(QString name)
{
    name.replace(QLatin1Char('"'), QStringLiteral("\"\""));
    return QLatin1Char('"') + name + QLatin1Char('"');
}

namespace {

// Adds every row of sql to hash, each value as its type and its bytes.
void hashRows(QCryptographicHash &hash, sqlite3 *db, const QString &sql, const QString &action)
{
    Dao::StatementPtr stmt = Dao::prepare(db, sql, action);
    sqlite3_stmt *s = stmt.get();
    int rc;
    while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
        for (int i = 0; i < sqlite3_column_count(s); ++i) {
            const int type = sqlite3_column_type(s, i);
            QByteArray value;
            if (type == SQLITE_INTEGER)
                value = QByteArray::number(sqlite3_column_int64(s, i));
            else if (type == SQLITE_FLOAT)
                value = QByteArray::number(sqlite3_column_double(s, i), 'g', 17);
            else if (type != SQLITE_NULL)
                value = QByteArray(static_cast<const char *>(sqlite3_column_blob(s, i)), sqlite3_column_bytes(s, i));
            // Type and length first, so that no two different rows give the same bytes.
            hash.addData(QByteArray::number(type) + ':' + QByteArray::number(value.size()) + ':');
            hash.addData(value);
        }
        hash.addData(QByteArrayView("\n"));
    }
    if (rc != SQLITE_DONE)
        throw Dao::connectionError(db, rc, action);
}

} // namespace

QByteArray contentDigest(sqlite3 *db, const QString &action)
{
    Dao::Transaction reading(db, QStringLiteral("BEGIN"), action);
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hashRows(hash, db, QStringLiteral("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY type, name"),
             action);
    hashRows(hash, db, QStringLiteral("PRAGMA user_version"), action);
    hashRows(hash, db, QStringLiteral("PRAGMA application_id"), action);
    for (const QString &table : ordinaryTables(db, action)) {
        hash.addData(table.toUtf8() + '\n');
        hashRows(hash, db, QStringLiteral("SELECT * FROM ") + quotedName(table), action);
    }
    reading.commit();
    return hash.result();
}

QMap<QString, qint64> tableRowCounts(sqlite3 *db, const QString &action)
{
    Dao::Transaction reading(db, QStringLiteral("BEGIN"), action);
    QMap<QString, qint64> counts;
    for (const QString &table : ordinaryTables(db, action))
        counts.insert(
            table,
            Dao::queryText(db, QStringLiteral("SELECT count(*) FROM ") + quotedName(table), action).toLongLong());
    reading.commit();
    return counts;
}

QStringList integrityProblems(sqlite3 *db, const QString &action)
{
    QStringList found = Dao::queryColumn(db, QStringLiteral("PRAGMA integrity_check"), action);
    if (found == QStringList{QStringLiteral("ok")})
        found.clear();
    return found;
}

} // namespace DatabaseFile
