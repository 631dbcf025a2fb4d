#include "backendmaker.h"

#include "platform/dao/connection.h"
#include "platform/errors.h"
#include "sampledata.h"

#include <QFile>
#include <QFileInfo>
#include <sqlite3.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace BackendMaker {

namespace {

const char *const tables[] = {
    "CREATE TABLE User (UserName TEXT NOT NULL, UserPassword TEXT NOT NULL)",
    "CREATE TABLE Customer (CustomerID INTEGER PRIMARY KEY, Name TEXT NOT NULL, Street TEXT, City TEXT, "
    "PostCode TEXT, Phone TEXT, Email TEXT, CreditLimit REAL, Notes TEXT)",
    "CREATE TABLE Invoice (InvoiceID INTEGER PRIMARY KEY, CustomerID INTEGER NOT NULL REFERENCES Customer, "
    "Reference TEXT NOT NULL, InvoiceDate TEXT NOT NULL, DueDate TEXT, Status TEXT, Total REAL)",
    "CREATE TABLE InvoiceLine (LineID INTEGER PRIMARY KEY, InvoiceID INTEGER NOT NULL REFERENCES Invoice, "
    "ProductCode TEXT, Description TEXT, Quantity INTEGER, UnitPrice REAL, Amount REAL)",
};
const char *const indexes[] = {
    "CREATE INDEX UserByName ON User (UserName)",
    "CREATE INDEX CustomerByName ON Customer (Name)",
    "CREATE INDEX InvoiceByCustomer ON Invoice (CustomerID)",
    "CREATE INDEX InvoiceByDate ON Invoice (InvoiceDate)",
    "CREATE INDEX LineByInvoice ON InvoiceLine (InvoiceID)",
};

// A new customer for about every this many invoices.
constexpr int invoicesPerCustomer = 25;
// How often (in invoices) the fill looks at the file's size.
constexpr int sizeCheckEvery = 256;

// Removes the files of a database that was not finished.
class PartialFiles {
public:
    explicit PartialFiles(QString path) : path_(std::move(path)) {}
    ~PartialFiles()
    {
        if (keep_)
            return;
        for (const char *suffix : {"", "-journal", "-wal", "-shm"})
            QFile::remove(path_ + QLatin1String(suffix));
    }
    void keep() { keep_ = true; }

private:
    QString path_;
    bool keep_ = false;
};

class Maker {
public:
    Maker(const QString &path, Dao::ConnectionPtr db) : path_(path), db_(std::move(db)) {}

    void exec(const char *sql)
    {
        char *message = nullptr;
        const int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, &message);
        sqlite3_free(message);
        if (rc != SQLITE_OK)
            throw Dao::connectionError(db_.get(), rc, action());
    }
    qint64 pragma(const char *name) { return count((QByteArray("PRAGMA ") + name).constData()); }
    // The single number that sql yields.
    qint64 count(const char *sql)
    {
        Dao::StatementPtr stmt = prepare(sql);
        const int rc = sqlite3_step(stmt.get());
        if (rc != SQLITE_ROW)
            throw Dao::connectionError(db_.get(), rc, action());
        return sqlite3_column_int64(stmt.get(), 0);
    }
    Dao::StatementPtr prepare(const char *sql) { return Dao::prepare(db_.get(), QLatin1String(sql), action()); }
    // Runs stmt once with its bound values, then clears them.
    void run(sqlite3_stmt *stmt)
    {
        const int rc = sqlite3_step(stmt);
        sqlite3_reset(stmt);
        if (rc != SQLITE_DONE)
            throw Dao::connectionError(db_.get(), rc, action());
    }

    void createIndexes()
    {
        for (const char *statement : indexes)
            exec(statement);
    }
    void addUsers(const Options &options, Summary &summary);
    void fill(qint64 sizeBytes, Summary &summary);
    void freePages(int percent, Summary &summary);

private:
    QString action() const { return QStringLiteral("Cannot make database ") + quotedPath(path_); }

    QString path_;
    Dao::ConnectionPtr db_;
    // firstLine_[n]: the LineID of the first line of invoice n + 1; one more entry ends the last.
    std::vector<qint64> firstLine_;
};

void bindText(sqlite3_stmt *stmt, int index, const std::string &text)
{
    sqlite3_bind_text(stmt, index, text.data(), int(text.size()), SQLITE_STATIC);
}

void bindText(sqlite3_stmt *stmt, int index, const char *text)
{
    sqlite3_bind_text(stmt, index, text, -1, SQLITE_STATIC);
}

void bindText(sqlite3_stmt *stmt, int index, const QString &text)
{
    const QByteArray utf8 = text.toUtf8();
    sqlite3_bind_text(stmt, index, utf8.constData(), int(utf8.size()), SQLITE_TRANSIENT);
}

void Maker::addUsers(const Options &options, Summary &summary)
{
    Dao::StatementPtr insert = prepare("INSERT INTO User (UserName, UserPassword) VALUES (?, ?)");
    QList<Account> accounts = options.users;
    for (int n = 1; n <= options.generatedUsers; ++n)
        accounts.append(generatedAccount(n));
    for (const Account &account : accounts) {
        bindText(insert.get(), 1, account.name);
        bindText(insert.get(), 2, account.password);
        run(insert.get());
    }
    summary.users = accounts.size();
}

void Maker::fill(qint64 sizeBytes, Summary &summary)
{
    Dao::StatementPtr customerInsert = prepare("INSERT INTO Customer (Name, Street, City, PostCode, Phone, Email, "
                                               "CreditLimit, Notes) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    Dao::StatementPtr invoiceInsert = prepare("INSERT INTO Invoice (InvoiceID, CustomerID, Reference, InvoiceDate, "
                                              "DueDate, Status, Total) VALUES (?, ?, ?, ?, ?, ?, ?)");
    Dao::StatementPtr lineInsert = prepare("INSERT INTO InvoiceLine (LineID, InvoiceID, ProductCode, Description, "
                                           "Quantity, UnitPrice, Amount) VALUES (?, ?, ?, ?, ?, ?, ?)");
    SampleData data;
    qint64 customers = 0, invoices = 0, lines = 0;
    const auto fillUntil = [&](qint64 pages) {
        while (pragma("page_count") < pages) {
            for (int i = 0; i < sizeCheckEvery; ++i) {
                if (invoices % invoicesPerCustomer == 0) {
                    const SampleData::Customer c = data.customer();
                    sqlite3_stmt *s = customerInsert.get();
                    bindText(s, 1, c.name);
                    bindText(s, 2, c.street);
                    bindText(s, 3, c.city);
                    bindText(s, 4, c.postCode);
                    bindText(s, 5, c.phone);
                    bindText(s, 6, c.email);
                    sqlite3_bind_double(s, 7, c.creditLimit);
                    bindText(s, 8, c.notes);
                    run(s);
                    ++customers;
                }
                firstLine_.push_back(lines + 1);
                const SampleData::Invoice inv = data.invoice(++invoices, customers);
                sqlite3_stmt *s = invoiceInsert.get();
                sqlite3_bind_int64(s, 1, invoices);
                sqlite3_bind_int64(s, 2, inv.customerId);
                bindText(s, 3, inv.reference);
                bindText(s, 4, inv.invoiceDate);
                bindText(s, 5, inv.dueDate);
                bindText(s, 6, inv.status);
                sqlite3_bind_double(s, 7, inv.total);
                run(s);
                for (const SampleData::Line &line : inv.lines) {
                    sqlite3_stmt *l = lineInsert.get();
                    sqlite3_bind_int64(l, 1, lines + 1);
                    sqlite3_bind_int64(l, 2, invoices);
                    bindText(l, 3, line.productCode);
                    bindText(l, 4, line.description);
                    sqlite3_bind_int64(l, 5, line.quantity);
                    sqlite3_bind_double(l, 6, line.unitPrice);
                    sqlite3_bind_double(l, 7, line.amount);
                    run(l);
                    ++lines;
                }
            }
        }
    };
    // Building an index from the finished table (one sort) is much faster than keeping it up to
    // date row by row, so most of the records go in before the indexes, the rest after them.
    const qint64 targetPages = sizeBytes / summary.pageSize;
    fillUntil(targetPages * 4 / 5);
    createIndexes();
    fillUntil(targetPages);
    firstLine_.push_back(lines + 1);
    summary.customers = customers;
    summary.invoices = invoices;
    summary.lines = lines;
}

// Deletes runs of consecutive invoices with their lines, as an archiving job would, until about
// percent of the pages are free. The runs are spread over the whole file (bit-reversed order),
// so the free pages lie scattered between pages in use.
void Maker::freePages(int percent, Summary &summary)
{
    const qint64 invoices = summary.invoices;
    if (percent <= 0 || invoices == 0)
        return;
    const qint64 target = (pragma("page_count") * percent + 99) / 100;
    const qint64 runLength = std::clamp<qint64>(invoices / 64, 1, 256);
    const qint64 runs = (invoices + runLength - 1) / runLength;
    int bits = 0;
    while ((qint64(1) << bits) < runs)
        ++bits;

    // Lines are numbered in invoice order, so the lines of a run of invoices are a run of LineIDs.
    Dao::StatementPtr deleteLines = prepare("DELETE FROM InvoiceLine WHERE LineID BETWEEN ? AND ?");
    Dao::StatementPtr deleteInvoices = prepare("DELETE FROM Invoice WHERE InvoiceID BETWEEN ? AND ?");
    for (qint64 i = 0; i < (qint64(1) << bits) && pragma("freelist_count") < target; ++i) {
        qint64 slot = 0;
        for (int b = 0; b < bits; ++b)
            slot |= ((i >> b) & 1) << (bits - 1 - b);
        if (slot >= runs)
            continue;
        const qint64 first = slot * runLength + 1, last = std::min(first + runLength - 1, invoices);
        sqlite3_bind_int64(deleteLines.get(), 1, firstLine_[std::size_t(first - 1)]);
        sqlite3_bind_int64(deleteLines.get(), 2, firstLine_[std::size_t(last)] - 1);
        run(deleteLines.get());
        sqlite3_bind_int64(deleteInvoices.get(), 1, first);
        sqlite3_bind_int64(deleteInvoices.get(), 2, last);
        run(deleteInvoices.get());
    }
    summary.invoices = count("SELECT count(*) FROM Invoice");
    summary.lines = count("SELECT count(*) FROM InvoiceLine");
}

} // namespace

Account generatedAccount(int n)
{
    const QString number = QStringLiteral("%1").arg(n, 6, 10, QLatin1Char('0'));
    return {QStringLiteral("USER") + number, QStringLiteral("pw") + number};
}

Summary make(const QString &path, const Options &options)
{
    const QString action = QStringLiteral("Cannot make database ") + quotedPath(path);
    if (options.freePercent < 0 || options.freePercent > 90 || options.sizeBytes < 0 || options.generatedUsers < 0)
        throw Error(ErrorNumber::InvalidArgument,
                    action + QStringLiteral(": sizes and counts must not be negative, free space at most 90%"));
    const QByteArray native = Dao::sqlitePath(path, action);

    // O_EXCL: an existing file is never touched, not even one that appears while we start.
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        throw Error::fromErrno(errno, action);
    ::close(fd);
    PartialFiles partial(path);

    Summary summary;
    {
        sqlite3 *raw = nullptr;
        const int rc = sqlite3_open_v2(native.constData(), &raw,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_EXRESCODE, nullptr);
        Maker maker(path, Dao::ConnectionPtr(raw));
        if (rc != SQLITE_OK)
            throw Dao::connectionError(raw, rc, action);

        // Speed over safety while the file is new: a failure removes it anyway.
        maker.exec("PRAGMA page_size = 4096; PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF; "
                   "PRAGMA locking_mode = EXCLUSIVE; PRAGMA cache_size = -65536; PRAGMA secure_delete = OFF");
        summary.pageSize = maker.pragma("page_size");
        maker.exec("BEGIN");
        for (const char *statement : tables)
            maker.exec(statement);
        maker.addUsers(options, summary);
        if (options.sizeBytes > 0)
            maker.fill(options.sizeBytes, summary);
        else
            maker.createIndexes();
        maker.freePages(options.freePercent, summary);
        maker.exec("COMMIT");
        if (options.wal)
            maker.exec("PRAGMA journal_mode = WAL");
        summary.pageCount = maker.pragma("page_count");
        summary.freePages = maker.pragma("freelist_count");
    } // closes the database (in WAL mode: checkpoints and removes the log)
    summary.fileBytes = QFileInfo(path).size();
    partial.keep();
    return summary;
}

} // namespace BackendMaker
