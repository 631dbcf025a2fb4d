#include "startsupport.h"

#include "platform/files.h"
#include "resources/clips.h"
#include "testsupport.h"

#include <QDir>

namespace StartSupport {

void prepareAppFolder()
{
    for (const QString &clip : {Clips::FileCopy, Clips::FileDelete})
        if (!QFile::exists(Files::appPath() + '/' + clip))
            QFile::copy(TestSupport::appDir() + '/' + clip, Files::appPath() + '/' + clip);
    QDir app(Files::appPath());
    for (const QString &name : app.entryList({"BACK??.BAK"}, QDir::Files))
        app.remove(name);
}

} // namespace StartSupport
