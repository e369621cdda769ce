#include <tarnivale/ai/catalog.h>

#include "runtime/errors.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace Tarnivale::AI {

namespace {

// Lower-cased words of letters and digits, at least two characters long, each once, in order of appearance.
QList<QString> extractTerms(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[^\\p{L}\\p{N}]+"),
                                               QRegularExpression::UseUnicodePropertiesOption);
    QList<QString> terms;
    QSet<QString> seen;
    for (const QString& part : text.toLower().split(separators, Qt::SkipEmptyParts)) {
        if (part.size() > 1 && !seen.contains(part)) {
            seen.insert(part);
            terms.append(part);
        }
    }
    return terms;
}

QString itemDocument(const AiVlmCatalogItem& item) {
    return item.id + QLatin1Char(' ') + item.caption + QLatin1Char(' ') + item.tags.join(QLatin1Char(' ')) +
           QLatin1Char(' ') + item.questionAnswers.keys().join(QLatin1Char(' '));
}

double relevanceOf(const QList<QString>& queryTerms, const QSet<QString>& documentTerms) {
    if (queryTerms.isEmpty()) {
        return 0.0;
    }
    const auto found = std::count_if(queryTerms.begin(), queryTerms.end(),
                                     [&](const QString& term) { return documentTerms.contains(term); });
    return static_cast<double>(found) / static_cast<double>(queryTerms.size());
}

QJsonObject detectionJson(const AiVlmDetection& detection) {
    return QJsonObject{{QStringLiteral("label"), detection.label},
                       {QStringLiteral("confidence"), detection.confidence},
                       {QStringLiteral("extent"), detection.extent.toJson()}};
}

}  // namespace

bool AiVlmGeoExtent::isValid() const {
    return std::isfinite(minimumX) && std::isfinite(minimumY) && std::isfinite(maximumX) &&
           std::isfinite(maximumY) && maximumX >= minimumX && maximumY >= minimumY;
}

QJsonObject AiVlmGeoExtent::toGeoJsonPolygon() const {
    const auto point = [](double x, double y) { return QJsonArray{x, y}; };
    const QJsonArray ring{point(minimumX, minimumY), point(maximumX, minimumY), point(maximumX, maximumY),
                          point(minimumX, maximumY), point(minimumX, minimumY)};
    return QJsonObject{{QStringLiteral("type"), QStringLiteral("Polygon")},
                       {QStringLiteral("coordinates"), QJsonArray{ring}}};
}

QJsonObject AiVlmGeoExtent::toJson() const {
    return QJsonObject{{QStringLiteral("minimumX"), minimumX},
                       {QStringLiteral("minimumY"), minimumY},
                       {QStringLiteral("maximumX"), maximumX},
                       {QStringLiteral("maximumY"), maximumY}};
}

QString aiVlmQueryModeName(AiVlmQueryMode mode) {
    switch (mode) {
        case AiVlmQueryMode::Caption:
            return QStringLiteral("caption");
        case AiVlmQueryMode::QuestionAnswer:
            return QStringLiteral("question-answer");
        case AiVlmQueryMode::Detection:
            return QStringLiteral("detection");
        case AiVlmQueryMode::Search:
            break;
    }
    return QStringLiteral("search");
}

QJsonObject AiVlmQueryResult::toJson() const {
    QJsonArray found;
    for (const AiVlmDetection& detection : detections) {
        found.append(detectionJson(detection));
    }
    return QJsonObject{{QStringLiteral("itemId"), itemId},
                       {QStringLiteral("relevance"), relevance},
                       {QStringLiteral("caption"), caption},
                       {QStringLiteral("answer"), answer},
                       {QStringLiteral("crs"), crs},
                       {QStringLiteral("detections"), found},
                       {QStringLiteral("geoJson"), geoJson},
                       {QStringLiteral("provenance"), provenance},
                       {QStringLiteral("elapsedMicroseconds"), static_cast<qint64>(elapsedMicroseconds)}};
}

QJsonObject AiVlmEvaluationReport::toJson() const {
    return QJsonObject{{QStringLiteral("caseCount"), caseCount},
                       {QStringLiteral("passedCount"), passedCount},
                       {QStringLiteral("accuracy"), accuracy},
                       {QStringLiteral("elapsedMilliseconds"), static_cast<qint64>(elapsedMilliseconds)}};
}

AiVlmCatalogPrototype::AiVlmCatalogPrototype(QList<AiVlmCatalogItem> items) : m_items(std::move(items)) {
    if (m_items.isEmpty()) {
        throwInvalidArgument(QStringLiteral("VLM catalog must not be empty."));
    }
    for (const AiVlmCatalogItem& item : m_items) {
        if (item.id.isEmpty() || m_ids.contains(item.id)) {
            throwInvalidArgument(QStringLiteral("VLM catalog item IDs must be unique and non-empty."));
        }
        m_ids.insert(item.id);
        if (!item.extent.isValid() || item.crs.isEmpty()) {
            throwInvalidArgument(QStringLiteral("VLM catalog spatial metadata is invalid."));
        }
        for (const AiVlmDetection& detection : item.detections) {
            if (!(detection.confidence >= 0.0 && detection.confidence <= 1.0) ||
                !detection.extent.isValid()) {
                throwInvalidArgument(QStringLiteral("VLM detection is invalid."));
            }
        }
        // Terms are extracted once here; a query then only looks them up.
        const QList<QString> terms = extractTerms(itemDocument(item));
        m_documentTerms.append(QSet<QString>(terms.begin(), terms.end()));
    }
}

int AiVlmCatalogPrototype::catalogSize() const {
    return static_cast<int>(m_items.size());
}

QList<AiVlmQueryResult> AiVlmCatalogPrototype::query(const AiVlmQueryRequest& request) const {
    QElapsedTimer clock;
    clock.start();
    if (request.maximumResults < 1 || request.maximumResults > 100) {
        throwInvalidArgument(QStringLiteral("VLM maximumResults must be between 1 and 100."));
    }
    if (!(request.minimumConfidence >= 0.0 && request.minimumConfidence <= 1.0)) {
        throwInvalidArgument(QStringLiteral("VLM minimumConfidence must be between zero and one."));
    }

    struct Candidate {
        qsizetype index;
        double relevance;
    };
    std::vector<Candidate> candidates;
    if (request.itemId.isEmpty()) {
        const QList<QString> terms = extractTerms(request.text);
        candidates.reserve(static_cast<size_t>(m_items.size()));
        for (qsizetype i = 0; i < m_items.size(); ++i) {
            candidates.push_back({i, relevanceOf(terms, m_documentTerms[i])});
        }
        std::sort(candidates.begin(), candidates.end(), [this](const Candidate& a, const Candidate& b) {
            if (a.relevance != b.relevance) {
                return a.relevance > b.relevance;
            }
            return m_items[a.index].id < m_items[b.index].id;
        });
    } else {
        const auto found = std::find_if(m_items.begin(), m_items.end(), [&](const AiVlmCatalogItem& item) {
            return item.id == request.itemId;
        });
        if (found == m_items.end()) {
            throw std::out_of_range("VLM catalog item was not found.");
        }
        candidates.push_back({found - m_items.begin(), 1.0});
    }

    QList<AiVlmQueryResult> results;
    for (const Candidate& candidate : candidates) {
        if (request.cancellationRequested && request.cancellationRequested()) {
            throwRuntimeError(QStringLiteral("VLM catalog query was cancelled."));
        }
        if (request.mode == AiVlmQueryMode::Search && candidate.relevance <= 0.0) {
            continue;
        }
        const AiVlmCatalogItem& item = m_items[candidate.index];
        AiVlmQueryResult result;
        result.itemId = item.id;
        result.relevance = candidate.relevance;
        result.caption = item.caption;
        result.crs = item.crs;
        if (request.mode == AiVlmQueryMode::QuestionAnswer) {
            result.answer = item.questionAnswers.value(request.text.toLower(),
                                                       QStringLiteral("answer-not-in-evaluation-catalog"));
        } else if (request.mode == AiVlmQueryMode::Detection) {
            QJsonArray features;
            for (const AiVlmDetection& detection : item.detections) {
                if (detection.confidence >= request.minimumConfidence) {
                    result.detections.append(detection);
                    features.append(
                        QJsonObject{{QStringLiteral("type"), QStringLiteral("Feature")},
                                    {QStringLiteral("geometry"), detection.extent.toGeoJsonPolygon()},
                                    {QStringLiteral("properties"),
                                     QJsonObject{{QStringLiteral("itemId"), item.id},
                                                 {QStringLiteral("label"), detection.label},
                                                 {QStringLiteral("confidence"), detection.confidence}}}});
                }
            }
            result.geoJson = QJsonObject{{QStringLiteral("type"), QStringLiteral("FeatureCollection")},
                                         {QStringLiteral("features"), features},
                                         {QStringLiteral("crs"), item.crs}};
        }
        result.provenance = QJsonObject{{QStringLiteral("prototype"), QStringLiteral("bounded-catalog-v1")},
                                        {QStringLiteral("mode"), aiVlmQueryModeName(request.mode)},
                                        {QStringLiteral("modelId"), item.modelId},
                                        {QStringLiteral("modelVersion"), item.modelVersion},
                                        {QStringLiteral("modelSha256"), item.modelSha256},
                                        {QStringLiteral("deterministic"), true}};
        result.elapsedMicroseconds = clock.nsecsElapsed() / 1000;
        results.append(result);
        if (results.size() >= request.maximumResults) {
            break;
        }
    }
    return results;
}

AiVlmEvaluationReport AiVlmCatalogPrototype::evaluate(const QList<AiVlmEvaluationCase>& cases) const {
    QElapsedTimer clock;
    clock.start();
    AiVlmEvaluationReport report;
    report.caseCount = static_cast<int>(cases.size());
    for (const AiVlmEvaluationCase& testCase : cases) {
        AiVlmQueryRequest request;
        request.mode = testCase.mode;
        request.text = testCase.text;
        request.itemId = testCase.itemId;
        request.maximumResults = testCase.maximumResults;
        request.minimumConfidence = testCase.minimumConfidence;
        request.cancellationRequested = testCase.cancellationRequested;
        const QList<AiVlmQueryResult> results = query(request);
        if (results.isEmpty()) {
            continue;
        }
        const AiVlmQueryResult& first = results.front();
        if ((testCase.expectedItemId.isEmpty() || testCase.expectedItemId == first.itemId) &&
            (testCase.expectedAnswer.isEmpty() || testCase.expectedAnswer == first.answer) &&
            (testCase.expectedDetectionCount < 0 ||
             testCase.expectedDetectionCount == first.detections.size())) {
            ++report.passedCount;
        }
    }
    report.accuracy =
        report.caseCount == 0 ? 0.0 : static_cast<double>(report.passedCount) / report.caseCount;
    report.elapsedMilliseconds = clock.elapsed();
    return report;
}

}  // namespace Tarnivale::AI
