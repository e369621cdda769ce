#include <tarnivale/ai/catalog.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <stdexcept>

using namespace Tarnivale::AI;
using Tarnivale::AI::Testing::errorOf;

namespace {

AiVlmCatalogItem item(const char* id, const char* caption, QList<QString> tags = {}) {
    AiVlmCatalogItem entry;
    entry.id = QString::fromUtf8(id);
    entry.rasterPath = QStringLiteral("/data/%1.tif").arg(entry.id);
    entry.crs = QStringLiteral("EPSG:32633");
    entry.extent = AiVlmGeoExtent{500000, 4100000, 501000, 4101000};
    entry.caption = QString::fromUtf8(caption);
    entry.tags = std::move(tags);
    entry.modelId = QStringLiteral("captioner");
    entry.modelVersion = QStringLiteral("2");
    entry.modelSha256 = QString(64, QLatin1Char('c'));
    return entry;
}

AiVlmCatalogPrototype catalog() {
    AiVlmCatalogItem harbour =
        item("harbour", "Boats moored in a harbour", {QStringLiteral("water"), QStringLiteral("port")});
    harbour.questionAnswers.insert(QStringLiteral("how many boats?"), QStringLiteral("twelve"));
    harbour.questionAnswers.insert(QStringLiteral("Is It Sunny?"), QStringLiteral("yes"));
    harbour.detections = {
        AiVlmDetection{QStringLiteral("boat"), 0.9, AiVlmGeoExtent{500100, 4100100, 500120, 4100110}},
        AiVlmDetection{QStringLiteral("boat"), 0.4, AiVlmGeoExtent{500200, 4100200, 500220, 4100210}},
        AiVlmDetection{QStringLiteral("crane"), 0.5, AiVlmGeoExtent{500300, 4100300, 500300, 4100300}}};
    return AiVlmCatalogPrototype({item("forest", "Dense Forest near a lake", {QStringLiteral("trees")}),
                                  harbour,
                                  item("field", "Fields, a lake and a road", {QStringLiteral("crops")})});
}

QList<QString> idsOf(const QList<AiVlmQueryResult>& results) {
    QList<QString> ids;
    for (const AiVlmQueryResult& result : results) {
        ids.append(result.itemId);
    }
    return ids;
}

}  // namespace

TEST(VlmCatalog, SearchRanksByRelevanceThenId) {
    const AiVlmCatalogPrototype prototype = catalog();
    EXPECT_EQ(prototype.catalogSize(), 3);
    AiVlmQueryRequest request;
    request.text = QStringLiteral("LAKE, forest!");
    QList<AiVlmQueryResult> results = prototype.query(request);
    EXPECT_EQ(idsOf(results), (QList<QString>{QStringLiteral("forest"), QStringLiteral("field")}));
    EXPECT_DOUBLE_EQ(results[0].relevance, 1.0);
    EXPECT_DOUBLE_EQ(results[1].relevance, 0.5);
    EXPECT_EQ(results[0].crs, QStringLiteral("EPSG:32633"));
    EXPECT_EQ(results[0].provenance.value(QStringLiteral("prototype")).toString(),
              QStringLiteral("bounded-catalog-v1"));
    EXPECT_EQ(results[0].provenance.value(QStringLiteral("mode")).toString(), QStringLiteral("search"));
    EXPECT_TRUE(results[0].provenance.value(QStringLiteral("deterministic")).toBool());

    request.text = QStringLiteral("lake");  // equal relevance: ascending id
    EXPECT_EQ(idsOf(prototype.query(request)),
              (QList<QString>{QStringLiteral("field"), QStringLiteral("forest")}));
    request.maximumResults = 1;
    EXPECT_EQ(idsOf(prototype.query(request)), QList<QString>{QStringLiteral("field")});
    request.maximumResults = 5;
    request.text = QStringLiteral("a b c ? !");  // one-letter words only: no terms, nothing found
    EXPECT_TRUE(prototype.query(request).isEmpty());
    request.mode = AiVlmQueryMode::Caption;  // other modes keep items of zero relevance
    EXPECT_EQ(prototype.query(request).size(), 3);
    // Tags and question texts are part of an item's document.
    request.mode = AiVlmQueryMode::Search;
    request.text = QStringLiteral("sunny port");
    EXPECT_EQ(idsOf(prototype.query(request)), QList<QString>{QStringLiteral("harbour")});
}

TEST(VlmCatalog, AnswersDetectionsAndGeoJson) {
    const AiVlmCatalogPrototype prototype = catalog();
    AiVlmQueryRequest request;
    request.mode = AiVlmQueryMode::QuestionAnswer;
    request.itemId = QStringLiteral("harbour");
    request.text = QStringLiteral("How many BOATS?");
    QList<AiVlmQueryResult> results = prototype.query(request);
    ASSERT_EQ(results.size(), 1);
    EXPECT_EQ(results[0].answer, QStringLiteral("twelve"));
    EXPECT_DOUBLE_EQ(results[0].relevance, 1.0);
    // The text is lower-cased before the lookup: a question stored with capitals is never matched.
    request.text = QStringLiteral("Is It Sunny?");
    EXPECT_EQ(prototype.query(request)[0].answer, QStringLiteral("answer-not-in-evaluation-catalog"));

    request.mode = AiVlmQueryMode::Detection;
    results = prototype.query(request);
    ASSERT_EQ(results[0].detections.size(), 2);  // 0.9 and 0.5 pass the default 0.5, 0.4 does not
    EXPECT_EQ(results[0].detections[1].label, QStringLiteral("crane"));
    const QJsonObject geoJson = results[0].geoJson;
    EXPECT_EQ(geoJson.value(QStringLiteral("type")).toString(), QStringLiteral("FeatureCollection"));
    EXPECT_EQ(geoJson.value(QStringLiteral("crs")).toString(), QStringLiteral("EPSG:32633"));
    const QJsonObject feature = geoJson.value(QStringLiteral("features")).toArray().at(0).toObject();
    EXPECT_EQ(
        feature.value(QStringLiteral("properties")).toObject().value(QStringLiteral("itemId")).toString(),
        QStringLiteral("harbour"));
    const QJsonArray ring = feature.value(QStringLiteral("geometry"))
                                .toObject()
                                .value(QStringLiteral("coordinates"))
                                .toArray()
                                .at(0)
                                .toArray();
    ASSERT_EQ(ring.size(), 5);
    EXPECT_EQ(ring.first(), ring.last());
    EXPECT_EQ(ring.at(2).toArray(), (QJsonArray{500120.0, 4100110.0}));

    const QJsonObject json = results[0].toJson();
    EXPECT_EQ(json.value(QStringLiteral("detections"))
                  .toArray()
                  .at(0)
                  .toObject()
                  .value(QStringLiteral("extent"))
                  .toObject()
                  .value(QStringLiteral("maximumX"))
                  .toDouble(),
              500120.0);
    request.minimumConfidence = 0.0;
    EXPECT_EQ(prototype.query(request)[0].detections.size(), 3);
}

TEST(VlmCatalog, RefusalsAndEvaluation) {
    EXPECT_EQ(errorOf<std::invalid_argument>([] { AiVlmCatalogPrototype({}); }),
              "VLM catalog must not be empty.");
    EXPECT_EQ(errorOf<std::invalid_argument>([] {
                  AiVlmCatalogPrototype({item("a", ""), item("a", "")});
              }),
              "VLM catalog item IDs must be unique and non-empty.");
    EXPECT_EQ(errorOf<std::invalid_argument>([] { AiVlmCatalogPrototype({item("", "")}); }),
              "VLM catalog item IDs must be unique and non-empty.");
    AiVlmCatalogItem inverted = item("x", "");
    inverted.extent.maximumX = inverted.extent.minimumX - 1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiVlmCatalogPrototype({inverted}); }),
              "VLM catalog spatial metadata is invalid.");
    AiVlmCatalogItem noCrs = item("x", "");
    noCrs.crs.clear();
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiVlmCatalogPrototype({noCrs}); }),
              "VLM catalog spatial metadata is invalid.");
    AiVlmCatalogItem sure = item("x", "");
    sure.detections = {AiVlmDetection{QStringLiteral("d"), 1.5, {}}};
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiVlmCatalogPrototype({sure}); }),
              "VLM detection is invalid.");

    const AiVlmCatalogPrototype prototype = catalog();
    AiVlmQueryRequest request;
    request.maximumResults = 0;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { prototype.query(request); }),
              "VLM maximumResults must be between 1 and 100.");
    request.maximumResults = 101;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { prototype.query(request); }),
              "VLM maximumResults must be between 1 and 100.");
    request.maximumResults = 100;
    request.minimumConfidence = -0.1;
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { prototype.query(request); }),
              "VLM minimumConfidence must be between zero and one.");
    request.minimumConfidence = 0.5;
    request.itemId = QStringLiteral("nowhere");
    EXPECT_EQ(errorOf<std::out_of_range>([&] { prototype.query(request); }),
              "VLM catalog item was not found.");
    request.itemId.clear();
    request.mode = AiVlmQueryMode::Caption;
    request.cancellationRequested = [] { return true; };
    EXPECT_EQ(errorOf<std::runtime_error>([&] { prototype.query(request); }),
              "VLM catalog query was cancelled.");

    EXPECT_EQ(prototype.evaluate({}).accuracy, 0.0);
    AiVlmEvaluationCase found;
    found.text = QStringLiteral("boats");
    found.expectedItemId = QStringLiteral("harbour");
    AiVlmEvaluationCase answered;
    answered.mode = AiVlmQueryMode::QuestionAnswer;
    answered.itemId = QStringLiteral("harbour");
    answered.text = QStringLiteral("how many boats?");
    answered.expectedAnswer = QStringLiteral("twelve");
    AiVlmEvaluationCase counted;
    counted.mode = AiVlmQueryMode::Detection;
    counted.itemId = QStringLiteral("harbour");
    counted.expectedDetectionCount = 3;  // only two pass 0.5
    AiVlmEvaluationCase nothing;
    nothing.text = QStringLiteral("desert");
    const AiVlmEvaluationReport report = prototype.evaluate({found, answered, counted, nothing});
    EXPECT_EQ(report.caseCount, 4);
    EXPECT_EQ(report.passedCount, 2);
    EXPECT_DOUBLE_EQ(report.accuracy, 0.5);
    EXPECT_EQ(report.toJson().value(QStringLiteral("passedCount")).toInt(), 2);
}
