// Hostile text at the login: quotes, SQL, wildcards, NUL characters, very long text, scripts
// of every kind, blanks and case. Nothing logs in unless the upper-cased name and the password
// match a row of the User table exactly, and nothing typed changes the back end.

#include "app/modTarBackup.h"
#include "forms/frmLogin.h"
#include "formsupport.h"
#include "platform/dialogs/dialogs.h"
#include "testsupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QtTest>

#include <sqlite3.h>

using namespace FormSupport;
using modTarBackup::BackEndPath;
using modTarBackup::LoggedIn;

namespace {

// Rows of the User table, as "NAME:PASSWORD" (the name ends at the first colon).
const QStringList Users = {
    "ADMIN:Secret",
    "100%_*:it's \"quoted\"", // wildcards of LIKE and GLOB in a name, quotes in a password
    "O'BRIEN:' OR '1'='1",    // an injection as somebody's real password
    "ÉLODIE:mot de passe",    // upper-cased non-ASCII
    "山田:パスワード",        // no case at all
    "مدير:كلمة السر",         // right-to-left
    "  SPACED  :  blanks  ",  // blanks are characters too
    "GUEST:",                 // an empty password
    "LONG:" + QString(40000, u'p'), // longer than a text field holds by default
};

// Longer than a line edit holds (32767 characters by default).
const QString Long = QString(100 * 1024, QLatin1Char('x'));
const QChar Nul(u'\0');

// Every row of the User table in storage order, and the tables the file holds.
QStringList dumpUsers(const QString &path)
{
    sqlite3 *raw = nullptr;
    const int rc = sqlite3_open_v2(QFile::encodeName(path).constData(), &raw, SQLITE_OPEN_READONLY, nullptr);
    std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, sqlite3_close);
    if (rc != SQLITE_OK)
        return {QStringLiteral("cannot open: ") + QString::fromUtf8(sqlite3_errstr(rc))};
    QStringList rows;
    for (const char *sql : {"SELECT type || ' ' || name FROM sqlite_master ORDER BY name",
                            "SELECT UserName || ':' || UserPassword FROM User ORDER BY rowid"}) {
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt, nullptr) != SQLITE_OK)
            return {QStringLiteral("cannot read: ") + QString::fromUtf8(sqlite3_errmsg(db.get()))};
        while (sqlite3_step(stmt) == SQLITE_ROW)
            rows.append(QString::fromUtf8(reinterpret_cast<const char *>(sqlite3_column_text(stmt, 0)),
                                          sqlite3_column_bytes(stmt, 0)));
        sqlite3_finalize(stmt);
    }
    return rows;
}

// Puts a long text into a field at once, as a paste would: typing 100 KB a key at a time takes
// minutes.
void enter(QLineEdit *field, const QString &text)
{
    field->clear();
    field->insert(text);
}

} // namespace

class TestHostileLogin : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void onlyExactRowsLogIn_data();
    void onlyExactRowsLogIn();

private:
    TestSupport::TempFolder tmp_;
    QString db_;
    QByteArray dbBytes_;
    QStringList dbRows_;
};

void TestHostileLogin::initTestCase()
{
    QVERIFY(tmp_.isValid());
    db_ = tmp_.path("BACK.MDB");
    makeBackEnd(db_, Users);
    dbBytes_ = TestSupport::readFile(db_);
    dbRows_ = dumpUsers(db_);
    QVERIFY(dbRows_.contains("table User"));
    QCOMPARE(dbRows_.mid(dbRows_.size() - Users.size()), Users);
}

void TestHostileLogin::init()
{
    resetProgramState(tmp_.path("settings"));
    BackEndPath = db_;
}

void TestHostileLogin::cleanup()
{
    // Whatever was typed, the back end is exactly as it was: same tables, same rows, same bytes.
    QCOMPARE(dumpUsers(db_), dbRows_);
    QVERIFY(TestSupport::readFile(db_) == dbBytes_);
}

void TestHostileLogin::onlyExactRowsLogIn_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("accepted");

    // Each tricky row logs in with its exact text, the name in any case.
    QTest::newRow("wildcard name, quoted password") << "100%_*" << "it's \"quoted\"" << true;
    QTest::newRow("injection that is a real password") << "o'Brien" << "' OR '1'='1" << true;
    QTest::newRow("accented name in small letters") << "élodie" << "mot de passe" << true;
    QTest::newRow("CJK") << "山田" << "パスワード" << true;
    QTest::newRow("right-to-left") << "مدير" << "كلمة السر" << true;
    QTest::newRow("blanks of the row kept") << "  spaced  " << "  blanks  " << true;
    QTest::newRow("empty password") << "guest" << "" << true;
    QTest::newRow("name in mixed case") << "aDmIn" << "Secret" << true;
    QTest::newRow("password of 40,000 characters") << "long" << QString(40000, u'p') << true;
    QTest::newRow("that password cut short") << "long" << QString(32767, u'p') << false;

    // SQL in either field is just text.
    const char *injections[] = {
        "' OR 1=1 --",
        "\"; DROP TABLE User; --",
        "admin'--",
        "admin' #",
        "ADMIN' OR '1'='1",
        "' OR ''='",
        "'; DELETE FROM User; --",
        "ADMIN\" OR \"\"=\"",
        "' UNION SELECT 'ADMIN','Secret' --",
        "1; UPDATE User SET UserPassword=''",
    };
    for (const char *sql : injections) {
        QTest::addRow("name %s", sql) << QString::fromUtf8(sql) << "Secret" << false;
        QTest::addRow("password %s", sql) << "ADMIN" << QString::fromUtf8(sql) << false;
        QTest::addRow("both %s", sql) << QString::fromUtf8(sql) << QString::fromUtf8(sql) << false;
    }
    QTest::newRow("quote doubled as SQL escapes it") << "O''BRIEN" << "' OR '1'='1" << false;
    QTest::newRow("password quote doubled") << "100%_*" << "it''s \"quoted\"" << false;
    QTest::newRow("password quotes backslashed") << "100%_*" << "it\\'s \\\"quoted\\\"" << false;

    // Wildcards match only themselves.
    QTest::newRow("percent for the name") << "%" << "it's \"quoted\"" << false;
    QTest::newRow("percent for both") << "%" << "%" << false;
    QTest::newRow("underscores as long as ADMIN") << "_____" << "______" << false;
    QTest::newRow("prefix and percent") << "100%" << "it's \"quoted\"" << false;
    QTest::newRow("one underscore short") << "100%_" << "it's \"quoted\"" << false;
    QTest::newRow("percent for the star") << "100%_%" << "it's \"quoted\"" << false;
    QTest::newRow("star") << "*" << "*" << false;
    QTest::newRow("name star") << "ADM*" << "Secret" << false;
    QTest::newRow("password percent") << "ADMIN" << "%" << false;
    QTest::newRow("password underscore") << "ADMIN" << "Secre_" << false;
    QTest::newRow("password star") << "ADMIN" << "Sec*" << false;
    QTest::newRow("password brackets") << "ADMIN" << "[S]ecret" << false;

    // A NUL character does not end the text.
    QTest::newRow("NUL after the name") << QString("ADMIN") + Nul << "Secret" << false;
    QTest::newRow("NUL after the password") << "ADMIN" << QString("Secret") + Nul + "junk" << false;
    QTest::newRow("NUL inside the name") << QString("AD") + Nul + "MIN" << "Secret" << false;
    QTest::newRow("NUL for the empty password") << "GUEST" << QString(Nul) << false;
    QTest::newRow("only NULs") << QString(3, Nul) << QString(3, Nul) << false;

    // Very long text.
    QTest::newRow("long name") << Long << "Secret" << false;
    QTest::newRow("name then long text") << "ADMIN" + Long << "Secret" << false;
    QTest::newRow("password then long text") << "ADMIN" << "Secret" + Long << false;
    QTest::newRow("long blanks after the password") << "ADMIN" << "Secret" + QString(100 * 1024, u' ') << false;

    // Other scripts, look-alikes and invisible characters.
    QTest::newRow("decomposed accent") << "E\u0301LODIE" << "mot de passe" << false;
    QTest::newRow("full-width letters") << "ＡＤＭＩＮ" << "Secret" << false;
    QTest::newRow("Cyrillic A") << "АDMIN" << "Secret" << false;
    QTest::newRow("zero-width space") << "AD\u200BMIN" << "Secret" << false;
    QTest::newRow("right-to-left override") << "\u202EADMIN" << "Secret" << false;
    QTest::newRow("emoji") << "ADMIN😀" << "Secret😀" << false;
    QTest::newRow("emoji alone") << "😀" << "😀" << false;
    QTest::newRow("CJK password, other name") << "ADMIN" << "パスワード" << false;
    QTest::newRow("Arabic name, other password") << "مدير" << "Secret" << false;

    // Blanks and case.
    QTest::newRow("leading blank in name") << " ADMIN" << "Secret" << false;
    QTest::newRow("trailing blank in name") << "ADMIN " << "Secret" << false;
    QTest::newRow("tab after name") << "ADMIN\t" << "Secret" << false;
    QTest::newRow("line break after name") << "ADMIN\n" << "Secret" << false;
    QTest::newRow("leading blank in password") << "ADMIN" << " Secret" << false;
    QTest::newRow("trailing blank in password") << "ADMIN" << "Secret " << false;
    QTest::newRow("blanks of the row dropped") << "SPACED" << "blanks" << false;
    QTest::newRow("no-break space for blanks") << "\u00A0 SPACED \u00A0" << "  blanks  " << false;
    QTest::newRow("password in capitals") << "ADMIN" << "SECRET" << false;
    QTest::newRow("password in small letters") << "ADMIN" << "secret" << false;
    QTest::newRow("password of another row") << "ADMIN" << "mot de passe" << false;
    QTest::newRow("empty name, empty password") << "" << "" << false;
    QTest::newRow("empty name, known password") << "" << "Secret" << false;
    QTest::newRow("blank password") << "GUEST" << " " << false;
}

void TestHostileLogin::onlyExactRowsLogIn()
{
    QFETCH(QString, user);
    QFETCH(QString, password);
    QFETCH(bool, accepted);
    if (!accepted)
        DialogHook::answerMsgBox(Msg::OK);
    frmLogin dlg;
    dlg.show();
    if (user.size() + password.size() > 200) {
        enter(dlg.txtUserName, user);
        enter(dlg.txtPassword, password);
        QTest::mouseClick(dlg.cmdOK, Qt::LeftButton);
    } else {
        typeLogin(&dlg, user, password);
        // What was typed is what the fields hold, NULs, blanks and all.
        QCOMPARE(dlg.txtUserName->text(), user);
        QCOMPARE(dlg.txtPassword->text(), password);
    }
    QCOMPARE(LoggedIn, accepted);
    QCOMPARE(dlg.isVisible(), !accepted);
    const auto shown = DialogHook::shown();
    if (accepted) {
        QVERIFY(shown.isEmpty());
    } else {
        QCOMPARE(shown.size(), 1);
        QCOMPARE(shown[0].text, QString("Invalid password"));
        QCOMPARE(shown[0].style, Msg::Exclamation);
    }
}

QTEST_MAIN(TestHostileLogin)
#include "tst_hostilelogin.moc"
