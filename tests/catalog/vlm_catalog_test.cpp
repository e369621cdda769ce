#include <tarnivale/ai/catalog.h>

#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>

using namespace Tarnivale::AI;
using namespace Qt::StringLiterals;
using Tarnivale::AI::Testing::errorOf;

namespace {

// An item with an extent, a CRS and a captioning model; no questions, no detections.
AiVlmCatalogItem item(const char* id, const char* caption, QList<QString> tags = {}) {
    return AiVlmCatalogItem(QString::fromUtf8(id), {}, u"EPSG:32633"_s, {0, 0, 10, 10},
                            QString::fromUtf8(caption), tags, {}, {}, u"captioner"_s, {}, {});
}

// A forest, fields, and a harbour with two questions and three detections.
AiVlmCatalogPrototype catalog() {
    AiVlmCatalogItem harbour = item("harbour", "Boats moored in a harbour", {u"water"_s, u"port"_s});
    harbour.questionAnswers = {{u"how many boats?"_s, u"twelve"_s}, {u"Sunny?"_s, u"yes"_s}};
    harbour.detections = {
        {u"boat"_s, 0.9, {1, 2, 3, 4}}, {u"boat"_s, 0.4, {5, 6, 7, 8}}, {u"crane"_s, 0.5, {9, 9, 9, 9}}};
    return AiVlmCatalogPrototype({item("forest", "Dense Forest near a lake", {u"trees"_s}), harbour,
                                  item("field", "Fields, a lake and a road", {u"crops"_s})});
}

QList<AiVlmQueryResult> ask(AiVlmQueryMode mode, const char* text, const char* itemId = "",
                            int maximumResults = 5, double minimumConfidence = 0.5) {
    return catalog().query(AiVlmQueryRequest(mode, QString::fromUtf8(text), QString::fromUtf8(itemId),
                                             maximumResults, minimumConfidence, {}));
}

// "id:relevance" of each result, in order.
std::string ranking(const QList<AiVlmQueryResult>& results) {
    QStringList ranked;
    for (const AiVlmQueryResult& result : results) {
        ranked << result.itemId + u':' + QString::number(result.relevance);
    }
    return ranked.join(u' ').toStdString();
}

}  // namespace

TEST(VlmCatalog, SearchRanksByRelevanceThenIdOtherModesKeepEveryItemAnswersAndDetections) {
    using enum AiVlmQueryMode;
    EXPECT_EQ(catalog().catalogSize(), 3);
    const QList<AiVlmQueryResult> found = ask(Search, "LAKE, forest!");
    EXPECT_EQ(ranking(found), "forest:1 field:0.5");
    EXPECT_EQ(found[0].crs, u"EPSG:32633"_s);
    EXPECT_EQ(QJsonDocument(found[0].provenance).toJson(QJsonDocument::Compact),
              R"({"deterministic":true,"mode":"search","modelId":"captioner",)"
              R"("modelSha256":"","modelVersion":"","prototype":"bounded-catalog-v1"})");
    EXPECT_EQ(ranking(ask(Search, "lake")), "field:1 forest:1");  // equal relevance: ascending id
    EXPECT_EQ(ranking(ask(Search, "lake", "", 1)), "field:1");
    // Words of one letter are no terms, words of two are; other modes keep the items of no relevance.
    EXPECT_EQ(ranking(ask(Search, "a b c ? !")), "");
    EXPECT_EQ(ranking(ask(Caption, "a in")), "harbour:1 field:0 forest:0");
    EXPECT_EQ(ranking(ask(Search, "sunny port")), "harbour:1");  // tags and questions are searched too

    EXPECT_EQ(ask(QuestionAnswer, "How many BOATS?", "harbour").value(0).answer, u"twelve"_s);
    // The question is lower-cased before the lookup: one stored with capitals is never found.
    EXPECT_EQ(ask(QuestionAnswer, "Sunny?", "harbour").value(0).answer, "answer-not-in-evaluation-catalog");

    const QList<AiVlmQueryResult> results = ask(Detection, "", "harbour");  // confidence 0.5 and more
    ASSERT_EQ(ranking(results), "harbour:1");
    EXPECT_EQ(
        QJsonDocument(results[0].geoJson).toJson(QJsonDocument::Compact),
        R"({"crs":"EPSG:32633","features":[{"geometry":{"coordinates":[[[1,2],[3,2],[3,4],[1,4],[1,2]]],)"
        R"("type":"Polygon"},"properties":{"confidence":0.9,"itemId":"harbour","label":"boat"},)"
        R"("type":"Feature"},{"geometry":{"coordinates":[[[9,9],[9,9],[9,9],[9,9],[9,9]]],)"
        R"("type":"Polygon"},"properties":{"confidence":0.5,"itemId":"harbour","label":"crane"},)"
        R"("type":"Feature"}],"type":"FeatureCollection"})");
    EXPECT_EQ(
        QJsonDocument(results[0].toJson()[u"detections"_s].toArray()).toJson(QJsonDocument::Compact),
        R"([{"confidence":0.9,"extent":{"maximumX":3,"maximumY":4,"minimumX":1,"minimumY":2},)"
        R"("label":"boat"},{"confidence":0.5,"extent":{"maximumX":9,"maximumY":9,"minimumX":9,"minimumY":9},)"
        R"("label":"crane"}])");
    EXPECT_EQ(ask(Detection, "", "harbour", 5, 0.0)[0].detections.size(), 3);  // 0.0 lets the 0.4 one in
}

TEST(VlmCatalog, RefusalsAndEvaluation) {
    using enum AiVlmQueryMode;
    const auto refusal = [](const QList<AiVlmCatalogItem>& items) {
        return errorOf<std::invalid_argument>([&] { AiVlmCatalogPrototype{items}; });
    };
    AiVlmCatalogItem inverted = item("x", ""), noCrs = inverted, sure = inverted, flat = inverted;
    inverted.extent.maximumX = -1;
    noCrs.crs.clear();
    sure.detections = {{u"d"_s, 1.5, {}}};
    flat.detections = {{u"d"_s, 1.0, {0, 1, 0, 0}}};  // a valid confidence, an inverted extent
    EXPECT_EQ(refusal({}), "VLM catalog must not be empty.");
    EXPECT_EQ(refusal({item("a", ""), item("a", "")}), "VLM catalog item IDs must be unique and non-empty.");
    EXPECT_EQ(refusal({item("", "")}), "VLM catalog item IDs must be unique and non-empty.");
    EXPECT_EQ(refusal({inverted}), "VLM catalog spatial metadata is invalid.");
    EXPECT_EQ(refusal({noCrs}), "VLM catalog spatial metadata is invalid.");
    EXPECT_EQ(refusal({sure}), "VLM detection is invalid.");
    EXPECT_EQ(refusal({flat}), "VLM detection is invalid.");

    const auto query = [](int maximumResults, double minimumConfidence, const char* itemId = "") {
        return [request = AiVlmQueryRequest(Caption, {}, QString::fromUtf8(itemId), maximumResults,
                                            minimumConfidence, [] { return true; })] {
            catalog().query(request);
        };
    };
    const std::string results = "VLM maximumResults must be between 1 and 100.";
    const std::string confidence = "VLM minimumConfidence must be between zero and one.";
    EXPECT_EQ(errorOf<std::invalid_argument>(query(0, 0.5)), results);
    EXPECT_EQ(errorOf<std::invalid_argument>(query(101, 0.5)), results);
    EXPECT_EQ(errorOf<std::invalid_argument>(query(100, -0.1)), confidence);
    EXPECT_EQ(errorOf<std::invalid_argument>(query(100, 1.1)), confidence);
    EXPECT_EQ(errorOf<std::out_of_range>(query(1, 1.0, "nowhere")), "VLM catalog item was not found.");
    EXPECT_EQ(errorOf<std::runtime_error>(query(1, 0.0)), "VLM catalog query was cancelled.");

    EXPECT_EQ(catalog().evaluate({}).accuracy, 0.0);
    // Mode, text, item, maximum results, minimum confidence, cancellation; expected item, answer, detections.
    using Case = AiVlmEvaluationCase;
    const AiVlmEvaluationReport report = catalog().evaluate(
        {Case(Search, u"boats"_s, {}, 5, 0.5, {}, u"harbour"_s, {}, -1),
         Case(QuestionAnswer, u"how many boats?"_s, u"harbour"_s, 5, 0.5, {}, {}, u"twelve"_s, -1),
         Case(Detection, {}, u"harbour"_s, 5, 0.5, {}, {}, {}, 3),  // only two pass 0.5
         Case(Search, u"desert"_s, {}, 5, 0.5, {}, {}, {}, -1)});
    EXPECT_TRUE(report.caseCount == 4 && report.passedCount == 2 && report.accuracy == 0.5);
    EXPECT_EQ(report.toJson().value(u"passedCount"_s).toInt(), 2);
}
