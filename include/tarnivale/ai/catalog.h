#pragma once

// A bounded, deterministic catalogue-query prototype: vision-language style questions answered from a fixed,
// pre-annotated catalogue of raster items, with an evaluation loop.

#include <tarnivale/ai/export.h>

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QSet>
#include <QString>

#include <cstdint>
#include <functional>

namespace Tarnivale::AI {

struct TARNIVALE_AI_EXPORT AiVlmGeoExtent {
    double minimumX = 0.0;
    double minimumY = 0.0;
    double maximumX = 0.0;
    double maximumY = 0.0;

    /// Finite and not inverted; a degenerate extent is valid.
    bool isValid() const;
    /// {"type": "Polygon", "coordinates": [closed ring of the four corners, counter-clockwise]}.
    QJsonObject toGeoJsonPolygon() const;
    /// {"minimumX", "minimumY", "maximumX", "maximumY"}.
    QJsonObject toJson() const;
};

struct TARNIVALE_AI_EXPORT AiVlmDetection {
    QString label;
    double confidence = 0.0;
    AiVlmGeoExtent extent;
};

struct TARNIVALE_AI_EXPORT AiVlmCatalogItem {
    QString id;
    QString rasterPath;
    QString crs;
    AiVlmGeoExtent extent;
    QString caption;
    QList<QString> tags;
    QHash<QString, QString> questionAnswers;
    QList<AiVlmDetection> detections;
    QString modelId;
    QString modelVersion;
    QString modelSha256;
};

enum class AiVlmQueryMode : int { Search = 0, Caption = 1, QuestionAnswer = 2, Detection = 3 };

/// "search", "caption", "question-answer" or "detection".
TARNIVALE_AI_EXPORT QString aiVlmQueryModeName(AiVlmQueryMode mode);

struct TARNIVALE_AI_EXPORT AiVlmQueryRequest {
    AiVlmQueryMode mode = AiVlmQueryMode::Search;
    QString text;
    QString itemId;  ///< empty = every item
    int maximumResults = 5;
    double minimumConfidence = 0.5;
    std::function<bool()> cancellationRequested;
};

struct TARNIVALE_AI_EXPORT AiVlmQueryResult {
    QString itemId;
    double relevance = 0.0;
    QString caption;
    QString answer;
    QString crs;
    QList<AiVlmDetection> detections;
    QJsonObject geoJson;
    QJsonObject provenance;
    std::int64_t elapsedMicroseconds = 0;

    QJsonObject toJson() const;
};

struct TARNIVALE_AI_EXPORT AiVlmEvaluationCase {
    AiVlmQueryMode mode = AiVlmQueryMode::Search;
    QString text;
    QString itemId;
    int maximumResults = 5;
    double minimumConfidence = 0.5;
    std::function<bool()> cancellationRequested;
    QString expectedItemId;
    QString expectedAnswer;
    int expectedDetectionCount = -1;  ///< negative: not checked
};

struct TARNIVALE_AI_EXPORT AiVlmEvaluationReport {
    int caseCount = 0;
    int passedCount = 0;
    double accuracy = 0.0;
    std::int64_t elapsedMilliseconds = 0;

    QJsonObject toJson() const;
};

class TARNIVALE_AI_EXPORT AiVlmCatalogPrototype {
public:
    /// Validates every item; throws std::invalid_argument with the catalogue's messages.
    explicit AiVlmCatalogPrototype(QList<AiVlmCatalogItem> items);

    int catalogSize() const;
    QList<AiVlmQueryResult> query(const AiVlmQueryRequest& request) const;
    AiVlmEvaluationReport evaluate(const QList<AiVlmEvaluationCase>& cases) const;

private:
    QList<AiVlmCatalogItem> m_items;
    QSet<QString> m_ids;
    QList<QSet<QString>> m_documentTerms;  // per item, for relevance
};

}  // namespace Tarnivale::AI
