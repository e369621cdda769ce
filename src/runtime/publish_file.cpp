#include "runtime/publish_file.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>
#include <cstdio>

namespace Tarnivale::AI {

bool pathOccupied(const QString& path) {
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

PublishOutcome publishWithoutReplacing(const QString& from, const QString& to) {
    const QByteArray source = QFile::encodeName(from);
    const QByteArray target = QFile::encodeName(to);
    if (renameat2(AT_FDCWD, source.constData(), AT_FDCWD, target.constData(), RENAME_NOREPLACE) == 0) {
        return PublishOutcome::Published;
    }
    if (errno == EEXIST) {
        return PublishOutcome::DestinationExists;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return PublishOutcome::Failed;
    }
    if (pathOccupied(to)) {
        return PublishOutcome::DestinationExists;
    }
    return std::rename(source.constData(), target.constData()) == 0 ? PublishOutcome::Published
                                                                    : PublishOutcome::Failed;
}

}  // namespace Tarnivale::AI
