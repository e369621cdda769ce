#include "support/test_paths.h"

#include <QDir>

namespace Tarnivale::AI::Testing {

QString testModelPath(const QString& fileName) {
    return QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(fileName);
}

}  // namespace Tarnivale::AI::Testing
