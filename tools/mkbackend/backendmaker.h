#pragma once

#include <QList>
#include <QString>

// Makes back-end database files: the User table the login reads and, on request, a bulk of
// business records (customers, invoices, invoice lines) of about a given size, part of which
// can be deleted again to leave free pages, as in a database that has been in use for years.
namespace BackendMaker {

struct Account {
    QString name;
    QString password;
};

struct Options {
    QList<Account> users;   // rows of table User, in this order
    int generatedUsers = 0; // then this many generated accounts (generatedAccount(1), ...)
    qint64 sizeBytes = 0;   // fill with business records until the file is about this large
    int freePercent = 0;    // then delete records until about this share of the pages is free (0..90)
    bool wal = false;       // leave the database in write-ahead-log mode
};

struct Summary {
    qint64 fileBytes = 0;
    qint64 pageSize = 0;
    qint64 pageCount = 0;
    qint64 freePages = 0;
    qint64 users = 0;
    qint64 customers = 0;
    qint64 invoices = 0; // left after the deletes
    qint64 lines = 0;    // left after the deletes
};

// Account n (from 1) of the generated ones: USER000001 with password pw000001, ...
Account generatedAccount(int n);

// Creates the database file path, which must not exist yet. Throws Error (an errno for the
// file, a SQLite result code for the database, ErrorNumber::InvalidArgument for bad options);
// on failure removes whatever it had created.
Summary make(const QString &path, const Options &options);

} // namespace BackendMaker
