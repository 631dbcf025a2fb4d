#include "platform/errors.h"

#include <cerrno>
#include <cstring>
#include <new>

Error::Error(long number, QString description)
    : number_(number), description_(std::move(description)), what_(message().toStdString())
{
}

Error Error::fromErrno(int errnum, const QString &context)
{
    return Error(errnum, context + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errnum)));
}

QString Error::message() const
{
    return QString::number(number_) + QStringLiteral(": ") + description_;
}

QString quotedPath(const QString &path)
{
    return QLatin1Char('"') + path + QLatin1Char('"');
}

Error asError(const std::exception &e)
{
    if (dynamic_cast<const std::bad_alloc *>(&e))
        return Error(ENOMEM, QStringLiteral("Not enough memory to finish the operation"));
    return Error(ErrorNumber::InvalidArgument, QString::fromLocal8Bit(e.what()));
}
