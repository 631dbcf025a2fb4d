#include "operations/login.h"

#include "platform/dao/dao.h"

namespace Operations {

bool credentialsMatch(const QString &path, const QString &userName, const QString &password)
{
    std::unique_ptr<Database> db = dbEngine().OpenDatabase(path);
    // The typed values are bound as parameters: a quote in either field is just a character.
    // The texts are compared as text with the binary collation, so that a numeric column does not
    // take "01234" for 1234, nor a NOCASE one "DEMO" for "demo"; the plain comparison of the name
    // comes first so that an index on it finds the row.
    std::unique_ptr<Recordset> rs = db->OpenRecordset(
        QStringLiteral("Select * From User Where UserName=?1 And CAST(UserName AS TEXT)=?1 COLLATE BINARY "
                       "And CAST(UserPassword AS TEXT)=?2 COLLATE BINARY"),
        dbOpenDynaset, {userName.toUpper(), password});
    const bool found = !rs->Eof();
    rs->Close();
    db->Close();
    return found;
}

} // namespace Operations
