// TarnivaleAI_RunVlmCatalogQuery: a catalogue document and a query document onto the catalogue prototype.

#include <tarnivale/ai/catalog.h>
#include <tarnivale/ai/interop.h>

#include "interop/interop_frame.h"

#include <QJsonArray>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

namespace {

AiVlmGeoExtent extentOf(const QJsonValue& value) {
    const QJsonObject extent = value.toObject();
    return AiVlmGeoExtent{extent.value(QStringLiteral("minimumX")).toDouble(0.0),
                          extent.value(QStringLiteral("minimumY")).toDouble(0.0),
                          extent.value(QStringLiteral("maximumX")).toDouble(0.0),
                          extent.value(QStringLiteral("maximumY")).toDouble(0.0)};
}

AiVlmCatalogItem itemOf(const QJsonObject& object) {
    AiVlmCatalogItem item;
    item.id = object.value(QStringLiteral("id")).toString();
    item.rasterPath = object.value(QStringLiteral("rasterPath")).toString();
    item.crs = object.value(QStringLiteral("crs")).toString();
    item.caption = object.value(QStringLiteral("caption")).toString();
    item.extent = extentOf(object.value(QStringLiteral("extent")));
    for (const QJsonValue& tag : object.value(QStringLiteral("tags")).toArray()) {
        item.tags.append(tag.toString());
    }
    const QJsonObject answers = object.value(QStringLiteral("questionAnswers")).toObject();
    for (auto it = answers.begin(); it != answers.end(); ++it) {
        item.questionAnswers.insert(it.key(), it.value().toString());
    }
    for (const QJsonValue& entry : object.value(QStringLiteral("detections")).toArray()) {
        const QJsonObject detection = entry.toObject();
        item.detections.append(AiVlmDetection{detection.value(QStringLiteral("label")).toString(),
                                              detection.value(QStringLiteral("confidence")).toDouble(0.0),
                                              extentOf(detection.value(QStringLiteral("extent")))});
    }
    item.modelId = object.value(QStringLiteral("modelId")).toString();
    item.modelVersion = object.value(QStringLiteral("modelVersion")).toString();
    item.modelSha256 = object.value(QStringLiteral("modelSha256")).toString();
    return item;
}

AiVlmQueryRequest queryOf(const QJsonObject& object) {
    AiVlmQueryRequest request;
    const QString mode = object.value(QStringLiteral("mode")).toString().toLower();
    if (mode == QLatin1String("caption")) {
        request.mode = AiVlmQueryMode::Caption;
    } else if (mode == QLatin1String("question-answer")) {
        request.mode = AiVlmQueryMode::QuestionAnswer;
    } else if (mode == QLatin1String("detection")) {
        request.mode = AiVlmQueryMode::Detection;
    }
    request.text = object.value(QStringLiteral("text")).toString();
    request.itemId = object.value(QStringLiteral("itemId")).toString();
    request.maximumResults = object.value(QStringLiteral("maximumResults")).toInt(request.maximumResults);
    request.minimumConfidence =
        object.value(QStringLiteral("minimumConfidence")).toDouble(request.minimumConfidence);
    return request;
}

}  // namespace

extern "C" TarnivaleAI_Char* TarnivaleAI_RunVlmCatalogQuery(const TarnivaleAI_Char* catalogJson,
                                                            const TarnivaleAI_Char* queryJson) {
    return runJsonFunction([=] {
        const QJsonObject catalogDocument = parseRequest(catalogJson);
        const QJsonObject queryDocument = parseRequest(queryJson);
        QList<AiVlmCatalogItem> items;
        for (const QJsonValue& entry : catalogDocument.value(QStringLiteral("items")).toArray()) {
            items.append(itemOf(entry.toObject()));
        }
        const AiVlmCatalogPrototype catalog(items);
        QJsonArray results;
        for (const AiVlmQueryResult& result : catalog.query(queryOf(queryDocument))) {
            results.append(result.toJson());
        }
        return QJsonObject{{QStringLiteral("schemaVersion"), QStringLiteral("1.0")},
                           {QStringLiteral("catalogSize"), catalog.catalogSize()},
                           {QStringLiteral("results"), results}};
    });
}
