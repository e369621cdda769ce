#include "runtime/sha256.h"

#include "runtime/errors.h"

#include <QFile>

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace Tarnivale::AI {

namespace {
constexpr qint64 kReadBufferBytes = 1 << 20;
}

struct Sha256::Context {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> evp{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

Sha256::Sha256() : m_context(std::make_unique<Context>()) {
    if (!m_context->evp || EVP_DigestInit_ex(m_context->evp.get(), EVP_sha256(), nullptr) != 1) {
        throwRuntimeError(QStringLiteral("SHA-256 is not available from the crypto library."));
    }
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
    if (size > 0) {
        EVP_DigestUpdate(m_context->evp.get(), data, size);
    }
}

QString Sha256::finishHex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(m_context->evp.get(), digest, &length);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex());
}

QString Sha256::hex(const QByteArray& bytes) {
    Sha256 hash;
    hash.update(bytes);
    return hash.finishHex();
}

QByteArray hmacSha256Hex(const QByteArray& key, const QByteArray& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // An empty QByteArray may hand out a null pointer; libcrypto is given a valid one for the empty key too.
    static const unsigned char noKey = 0;
    const auto* keyBytes = key.isEmpty() ? &noKey : reinterpret_cast<const unsigned char*>(key.constData());
    if (HMAC(EVP_sha256(), keyBytes, static_cast<int>(key.size()),
             reinterpret_cast<const unsigned char*>(data.constData()), static_cast<std::size_t>(data.size()),
             digest, &length) == nullptr) {
        throwRuntimeError(QStringLiteral("HMAC-SHA-256 is not available from the crypto library."));
    }
    return QByteArray(reinterpret_cast<const char*>(digest), static_cast<qsizetype>(length)).toHex();
}

Sha256FileResult sha256File(const QString& path) {
    // Only regular files are hashed: a device such as /dev/zero never ends and a FIFO blocks the open, so the
    // file is opened without blocking and checked before anything is read.
    const int descriptor = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat status {};
    if (descriptor < 0) {
        return {QString(), Sha256FileError::Open};
    }
    if (::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode) ||
        ::fcntl(descriptor, F_SETFL, ::fcntl(descriptor, F_GETFL) & ~O_NONBLOCK) != 0) {
        ::close(descriptor);
        return {QString(), Sha256FileError::Open};
    }
    QFile file;
    if (!file.open(descriptor, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(descriptor);
        return {QString(), Sha256FileError::Open};
    }
    Sha256 hash;
    std::vector<char> buffer(static_cast<size_t>(kReadBufferBytes));
    while (true) {
        const qint64 read = file.read(buffer.data(), kReadBufferBytes);
        if (read < 0) {
            return {QString(), Sha256FileError::Read};
        }
        if (read == 0) {
            break;
        }
        hash.update(buffer.data(), static_cast<std::size_t>(read));
    }
    return {hash.finishHex(), Sha256FileError::None};
}

}  // namespace Tarnivale::AI
