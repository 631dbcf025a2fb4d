#include "platform/controls/controls.h"

#include "platform/errors.h"
#include "platform/twips.h"
#include "platform/zlibtool/zlibtoolctrl.h"

#include <QHash>
#include <QWidget>

#include <functional>

namespace {

struct ClassEntry {
    std::function<QWidget *()> factory;
    bool available = true;
};

QHash<QString, ClassEntry> &registry()
{
    static QHash<QString, ClassEntry> classes{
        {QString::fromLatin1(ZlibToolCtrl::ClassId), {[] { return new ZlibToolCtrl; }, true}},
    };
    return classes;
}

Error cannotCreate(long number, const QString &classId, const QString &cause)
{
    return Error(number,
                 QStringLiteral("Cannot create the control ") + quotedPath(classId) + QStringLiteral(": ") + cause);
}

} // namespace

namespace Controls {

void setAvailable(const QString &classId, bool available)
{
    const auto it = registry().find(classId);
    if (it != registry().end())
        it->available = available;
}

QWidget *Add(const QString &classId, const QString &name, QWidget *container)
{
    const auto it = registry().constFind(classId);
    if (it == registry().constEnd())
        throw cannotCreate(ErrorNumber::CannotCreateObject, classId,
                           QStringLiteral("no component is registered under this class name"));
    if (!it->available || !it->factory)
        throw cannotCreate(ErrorNumber::CannotCreateObject, classId,
                           QStringLiteral("the component is not installed on this computer"));
    if (!container)
        throw cannotCreate(ErrorNumber::InvalidArgument, classId, QStringLiteral("no window was given to hold it"));
    if (name.isEmpty())
        throw cannotCreate(ErrorNumber::InvalidArgument, classId, QStringLiteral("the control needs a name"));
    if (container->findChild<QWidget *>(name, Qt::FindDirectChildrenOnly))
        throw cannotCreate(ErrorNumber::InvalidArgument, classId,
                           QStringLiteral("the window already has a control named ") + quotedPath(name));
    QWidget *control = it->factory();
    if (!control)
        throw cannotCreate(ErrorNumber::CannotCreateObject, classId, QStringLiteral("the component failed to start"));
    control->setObjectName(name);
    control->setParent(container);
    control->hide();
    return control;
}

void setLeft(QWidget *control, int twips)
{
    control->move(Twips::px(twips), control->y());
}

void setTop(QWidget *control, int twips)
{
    control->move(control->x(), Twips::px(twips));
}

void setHeight(QWidget *control, int twips)
{
    control->resize(control->width(), Twips::px(twips));
}

void setWidth(QWidget *control, int twips)
{
    control->resize(Twips::px(twips), control->height());
}

} // namespace Controls
