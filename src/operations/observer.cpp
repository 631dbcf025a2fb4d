#include "operations/observer.h"

#include "platform/fs/files.h"

#include <cerrno>

namespace Operations {

NotFound::NotFound(const QString &path) : Error(ENOENT, path + QStringLiteral(" not found.")) {}

void requireExisting(const QString &path)
{
    if (!Files::exists(path))
        throw NotFound(path);
}

} // namespace Operations
