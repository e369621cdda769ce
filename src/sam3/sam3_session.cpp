#include <tarnivale/ai/sam3.h>

#include "runtime/errors.h"
#include "sam3/sam3_graph_options.h"
#include "sam3/sam3_profile.h"

#include <array>
#include <vector>

namespace Tarnivale::AI {

namespace {

struct ContractTensor {
    const char* name;
    AiTensorDataType type;
};

struct GraphContract {
    std::vector<ContractTensor> inputs;
    std::vector<ContractTensor> outputs;
    std::int64_t memoryLimitBytes;
};

constexpr AiTensorDataType F32 = AiTensorDataType::Float32;
constexpr AiTensorDataType I64 = AiTensorDataType::Int64;

const std::array<GraphContract, 3>& textContract() {
    static const std::array<GraphContract, 3> contract{{
        {{{"pixel_values", F32}},
         {{"fpn_hidden_state_0", F32},
          {"fpn_hidden_state_1", F32},
          {"fpn_hidden_state_2", F32},
          {"fpn_position_encoding_2", F32}},
         6442450944},
        {{{"input_ids", I64}, {"attention_mask", I64}}, {{"text_features", F32}}, 2147483648},
        {{{"fpn_hidden_state_0", F32},
          {"fpn_hidden_state_1", F32},
          {"fpn_hidden_state_2", F32},
          {"fpn_position_encoding_2", F32},
          {"text_features", F32},
          {"attention_mask", I64}},
         {{"pred_masks", F32},
          {"pred_boxes", F32},
          {"pred_logits", F32},
          {"presence_logits", F32},
          {"semantic_seg", F32}},
         3221225472},
    }};
    return contract;
}

void checkTensors(const QList<AiTensorSpec>& declared, const std::vector<ContractTensor>& expected) {
    if (declared.size() != static_cast<qsizetype>(expected.size())) {
        throwInvalidArgument(QStringLiteral("Unexpected SAM3 tensor count."));
    }
    for (size_t i = 0; i < expected.size(); ++i) {
        const AiTensorSpec& spec = declared.at(static_cast<qsizetype>(i));
        if (spec.name != QLatin1String(expected[i].name) || spec.dataType != expected[i].type) {
            throwInvalidArgument(QStringLiteral("SAM3 graph tensor name/type does not match its profile."));
        }
    }
}

}  // namespace

struct AiSamSession::Impl {
    AiSamModelPackage package;
    std::vector<AiSession> sessions;  // in the profile's graph order

    const AiSession& session(const QString& graphName) const {
        const qsizetype index = Sam3::textProfile().graphs.indexOf(graphName);
        if (index < 0) {
            throwInvalidArgument(QStringLiteral("Unknown SAM3 graph."));
        }
        return sessions[static_cast<size_t>(index)];
    }
};

AiSamSession::AiSamSession(const QString& manifestPath, const AiSessionOptions& options)
    : d(std::make_unique<Impl>()) {
    d->package = AiSamModelPackage::load(manifestPath);
    if (d->package.manifest().value(QStringLiteral("status")) !=
        QJsonValue(QStringLiteral("validated_cuda_fixed_profile"))) {
        throwInvalidArgument(QStringLiteral("SAM3 package has not passed fixed-profile parity validation."));
    }
    const QList<QString>& graphs = Sam3::textProfile().graphs;
    d->sessions.reserve(static_cast<size_t>(graphs.size()));
    for (qsizetype i = 0; i < graphs.size(); ++i) {
        d->sessions.emplace_back(
            d->package.graphPath(graphs.at(i)),
            Sam3::graphSessionOptions(options, textContract()[static_cast<size_t>(i)].memoryLimitBytes));
    }
    for (size_t i = 0; i < d->sessions.size(); ++i) {
        checkTensors(d->sessions[i].inputs(), textContract()[i].inputs);
        checkTensors(d->sessions[i].outputs(), textContract()[i].outputs);
    }
    const QList<std::int64_t> pixels{1, 3, Sam3::ImageSide, Sam3::ImageSide};
    const QList<std::int64_t> tokens{1, Sam3::TextTokens};
    const QList<AiTensorSpec> text = d->sessions[1].inputs();
    if (d->sessions[0].inputs().at(0).shape != pixels || text.at(0).shape != tokens ||
        text.at(1).shape != tokens) {
        throwInvalidArgument(QStringLiteral("SAM3 graph input dimensions do not match the fixed profile."));
    }
}

AiSamSession::~AiSamSession() = default;
AiSamSession::AiSamSession(AiSamSession&& other) noexcept = default;
AiSamSession& AiSamSession::operator=(AiSamSession&& other) noexcept = default;

QList<AiTensorSpec> AiSamSession::inputs(const QString& graphName) const {
    return d->session(graphName).inputs();
}

QList<AiTensorSpec> AiSamSession::outputs(const QString& graphName) const {
    return d->session(graphName).outputs();
}

AiInferenceResult AiSamSession::runGraph(const QString& graphName, const QList<AiTensor>& inputs,
                                         const AiRunControl& control) const {
    return d->session(graphName).run(inputs, control);
}

AiSamModelPackage AiSamSession::package() const {
    return d->package;
}

AiExecutionProvider AiSamSession::provider() const {
    return d->sessions.front().provider();
}

}  // namespace Tarnivale::AI
