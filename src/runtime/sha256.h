#pragma once

// The one SHA-256 of the library (model files, bundles, caches, provenance). OpenSSL's libcrypto does the
// hashing: it uses the CPU's SHA instructions, several times faster than QCryptographicHash here.

#include <QByteArray>
#include <QString>

#include <memory>

namespace Tarnivale::AI {

/// Incremental SHA-256.
class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;

    void update(const void* data, std::size_t size);
    void update(const QByteArray& bytes) {
        update(bytes.constData(), static_cast<std::size_t>(bytes.size()));
    }
    /// 64 lower-case hexadecimal characters; the object cannot be updated afterwards.
    QString finishHex();

    /// Digest of bytes in memory, lower-case hexadecimal.
    static QString hex(const QByteArray& bytes);

private:
    struct Context;
    std::unique_ptr<Context> m_context;
};

/// HMAC-SHA-256 of the data under the key, 64 lower-case hexadecimal characters (libcrypto's one-shot HMAC,
/// the same bytes as QMessageAuthenticationCode without its per-call set-up).
QByteArray hmacSha256Hex(const QByteArray& key, const QByteArray& data);

/// Why hashing a file failed.
enum class Sha256FileError { None, Open, Read };

struct Sha256FileResult {
    QString hex;  ///< lower-case hexadecimal; empty on failure
    Sha256FileError error = Sha256FileError::None;
};

/// Streams the file through SHA-256 with a fixed buffer: memory does not grow with the file size.
Sha256FileResult sha256File(const QString& path);

}  // namespace Tarnivale::AI
