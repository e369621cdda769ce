#include "runtime/sha256.h"

#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <random>

using namespace Tarnivale::AI;

TEST(Sha256, KnownVectorsAndIncrementalUpdates) {
    EXPECT_EQ(Sha256::hex(QByteArray()),
              QStringLiteral("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    EXPECT_EQ(Sha256::hex("abc"),
              QStringLiteral("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    Sha256 million;
    const QByteArray thousand(1000, 'a');
    for (int i = 0; i < 1000; ++i) {
        million.update(thousand);
    }
    EXPECT_EQ(million.finishHex(),
              QStringLiteral("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"));
}

TEST(Sha256, FilesAcrossBufferBoundariesMatchQtsDigest) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    std::mt19937 random(42);
    for (const qsizetype size : {qsizetype{0}, qsizetype{1}, qsizetype{1} << 20, (qsizetype{3} << 20) + 17}) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (char& byte : bytes) {
            byte = static_cast<char>(random());
        }
        const QString path = dir.filePath(QStringLiteral("f%1").arg(size));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(bytes), size);
        file.close();
        const Sha256FileResult result = sha256File(path);
        EXPECT_EQ(result.error, Sha256FileError::None);
        EXPECT_EQ(result.hex,
                  QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex()))
            << size;
    }
    const Sha256FileResult missing = sha256File(dir.filePath(QStringLiteral("missing")));
    EXPECT_EQ(missing.error, Sha256FileError::Open);
    EXPECT_TRUE(missing.hex.isEmpty());
    EXPECT_NE(sha256File(dir.path()).error, Sha256FileError::None);
}
