// The SAM3 graph session: its status check and the fixed tensor contract of its three graphs (the graphs
// are run by the text session's tests).

#include <tarnivale/ai/sam3.h>

#include "sam3/sam3_fixture.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

TEST(Sam3Session, OpensTheContractAndNamesItsGraphs) {
    BundleCopy bundle(u"sam3-text"_s);
    const AiSamSession session(bundle.manifestPath());
    EXPECT_EQ(session.provider(), AiExecutionProvider::Cpu);
    EXPECT_EQ(session.inputs(u"decoder.onnx"_s).size(), 6);
    EXPECT_EQ(session.outputs(u"vision_encoder.onnx"_s).at(3).name, u"fpn_position_encoding_2"_s);
    EXPECT_EQ(session.package().rootDirectory(), QFileInfo(bundle.root()).canonicalFilePath());

    for (const auto& call : std::vector<std::function<void()>>{
             [&] { session.inputs(u"tracker_encoder.onnx"_s); }, [&] { session.outputs(u"Decoder.onnx"_s); },
             [&] { session.runGraph(u""_s, {}, {}); }}) {
        EXPECT_EQ(errorOf<std::invalid_argument>(call), "Unknown SAM3 graph.");
    }
}

TEST(Sam3Session, RefusesBundlesOutsideTheFixedContract) {
    struct Row {
        const char* graph;        // replaced by `replacement`, or nullptr
        const char* replacement;  // a generated model
        const char* status;       // manifest "status", or nullptr to keep it
        const char* message;
    };
    const Row rows[] = {
        {nullptr, nullptr, "validated_tracker_profile",
         "SAM3 package has not passed fixed-profile parity validation."},
        {"text_encoder.onnx", "add_one.onnx", nullptr, "Unexpected SAM3 tensor count."},
        {"decoder.onnx", "sam3-tracker/tracker_decoder.onnx", nullptr, "Unexpected SAM3 tensor count."},
        {"text_encoder.onnx", "sam3_text_encoder_float_ids.onnx", nullptr,
         "SAM3 graph tensor name/type does not match its profile."},
        {"vision_encoder.onnx", "sam3-tracker/tracker_encoder.onnx", nullptr,
         "Unexpected SAM3 tensor count."},
        {"vision_encoder.onnx", "sam3_vision_encoder_dynamic.onnx", nullptr,
         "SAM3 graph input dimensions do not match the fixed profile."},
        {"text_encoder.onnx", "sam3_text_encoder_64.onnx", nullptr,
         "SAM3 graph input dimensions do not match the fixed profile."},
    };
    for (const Row& row : rows) {
        BundleCopy bundle(u"sam3-text"_s);
        if (row.graph) {
            bundle.replaceFile(QString::fromUtf8(row.graph),
                               testModelPath(QString::fromUtf8(row.replacement)));
        }
        if (row.status) {
            QJsonObject manifest = bundle.manifest();
            manifest.insert(u"status"_s, QString::fromUtf8(row.status));
            bundle.writeManifest(manifest);
        }
        EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSamSession session(bundle.manifestPath()); }),
                  row.message)
            << (row.graph ? row.replacement : row.status);
    }
    // A tracker bundle is not a text session's.
    BundleCopy tracker(u"sam3-tracker"_s);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { AiSamSession session(tracker.manifestPath()); }),
              "SAM3 package has not passed fixed-profile parity validation.");
}
