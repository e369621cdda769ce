// The process-wide profile table: one list in registration order behind one read-write lock. Callers get
// copies, so nothing outside holds a reference into the list.

#include <tarnivale/ai/models.h>

#include "runtime/errors.h"
#include "runtime/sha256.h"

#include <mutex>
#include <shared_mutex>

namespace Tarnivale::AI {

namespace {

// std::shared_mutex rather than QReadWriteLock: ThreadSanitizer follows pthread locks but not the atomics of
// an uninstrumented Qt, and would report every copy made under the read lock as a race with the writer.
struct ProfileTable {
    std::shared_mutex lock;
    QList<AiModelProfile> profiles;
};

ProfileTable& table() {
    static ProfileTable instance;
    return instance;
}

qsizetype indexOfId(const QList<AiModelProfile>& profiles, const QString& id) {
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        if (profiles[i].id.compare(id, Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    return -1;
}

qsizetype indexOfSha256(const QList<AiModelProfile>& profiles, const QString& sha256) {
    for (qsizetype i = 0; i < profiles.size(); ++i) {
        if (profiles[i].sha256 == sha256) {
            return i;
        }
    }
    return -1;
}

bool refuse(QString* errorOut, const QString& message) {
    if (errorOut != nullptr) {
        *errorOut = message;
    }
    return false;
}

}  // namespace

bool AiModelProfileRegistry::registerProfile(const AiModelProfile& profile, bool replaceExisting,
                                             QString* errorOut) {
    const QList<QString> errors = profile.validationErrors();
    if (!errors.isEmpty()) {
        return refuse(errorOut, joinMessages(errors));
    }
    AiModelProfile stored = profile;
    stored.sha256 = profile.sha256.trimmed().toLower();
    stored.manifest.modelSha256 = stored.sha256;

    ProfileTable& t = table();
    const std::unique_lock locker(t.lock);
    const qsizetype idMatch = indexOfId(t.profiles, stored.id);
    const qsizetype shaMatch = indexOfSha256(t.profiles, stored.sha256);
    if (shaMatch >= 0 && shaMatch != idMatch) {
        return refuse(errorOut, QStringLiteral("Another model profile already uses this SHA-256."));
    }
    if (idMatch >= 0 && !replaceExisting) {
        return refuse(errorOut,
                      QStringLiteral("A model profile with id '%1' is already registered.").arg(profile.id));
    }
    if (idMatch >= 0) {
        t.profiles[idMatch] = std::move(stored);
    } else {
        t.profiles.append(std::move(stored));
    }
    if (errorOut != nullptr) {
        errorOut->clear();
    }
    return true;
}

bool AiModelProfileRegistry::unregisterProfile(const QString& id) {
    ProfileTable& t = table();
    const std::unique_lock locker(t.lock);
    const qsizetype index = indexOfId(t.profiles, id);
    if (index < 0) {
        return false;
    }
    t.profiles.removeAt(index);
    return true;
}

bool AiModelProfileRegistry::contains(const QString& id) {
    ProfileTable& t = table();
    const std::shared_lock locker(t.lock);
    return indexOfId(t.profiles, id) >= 0;
}

bool AiModelProfileRegistry::tryGet(const QString& id, AiModelProfile& profileOut) {
    ProfileTable& t = table();
    const std::shared_lock locker(t.lock);
    const qsizetype index = indexOfId(t.profiles, id);
    if (index < 0) {
        return false;
    }
    profileOut = t.profiles.at(index);  // at(): operator[] would detach the shared list under a read lock
    return true;
}

bool AiModelProfileRegistry::recognize(const QString& modelPath, AiModelProfile& profileOut) {
    // Hashing a model takes seconds; it happens before the lock so that writers are not held up by it.
    const Sha256FileResult digest = sha256File(modelPath);
    if (digest.error != Sha256FileError::None) {
        return false;
    }
    ProfileTable& t = table();
    const std::shared_lock locker(t.lock);
    const qsizetype index = indexOfSha256(t.profiles, digest.hex);
    if (index < 0) {
        return false;
    }
    profileOut = t.profiles.at(index);
    return true;
}

QList<AiModelProfile> AiModelProfileRegistry::profiles() {
    ProfileTable& t = table();
    const std::shared_lock locker(t.lock);
    return t.profiles;
}

}  // namespace Tarnivale::AI
