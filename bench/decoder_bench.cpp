// Output decoder throughput: softmax and sigmoid over a Float32 [1, 10, 512, 512] tile output, decoded
// repeatedly on the calling thread; figures are medians in input elements per second.
//
//   build/bench/bench_decoder [--quick]
//
// The two activations are interleaved so that drift of the machine affects both alike.

#include <tarnivale/ai/raster.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace Tarnivale::AI;
using Clock = std::chrono::steady_clock;

namespace {

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Logits spread over roughly [-8, 8], varied per channel, as a segmentation head produces them.
AiTensor makeLogits(const QList<std::int64_t>& shape) {
    std::int64_t count = 1;
    for (const std::int64_t dimension : shape) {
        count *= dimension;
    }
    QList<float> values(count);
    std::uint32_t state = 12345u;
    for (float& value : values) {
        state = state * 1664525u + 1013904223u;
        value = static_cast<float>(state >> 8) / static_cast<float>(1u << 24) * 16.0f - 8.0f;
    }
    return AiTensor::fromFloat32(QStringLiteral("logits"), shape, values);
}

double elementsPerSecond(const AiTensor& tensor, const AiOutputDecoderSpec& spec, float& checksum) {
    const auto start = Clock::now();
    const AiTensor decoded = AiOutputDecoder::decode(tensor, spec);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Keeps the result observable so the work cannot be dropped.
    checksum += reinterpret_cast<const float*>(decoded.data.constData())[decoded.elementCount() / 2];
    return static_cast<double>(tensor.elementCount()) / seconds;
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int repetitions = quick ? 5 : 41;

    const AiTensor logits = makeLogits({1, 10, 512, 512});
    AiOutputDecoderSpec softmax;
    softmax.id = QStringLiteral("probabilities");
    softmax.activation = QStringLiteral("softmax");
    AiOutputDecoderSpec sigmoid = softmax;
    sigmoid.activation = QStringLiteral("sigmoid");

    float checksum = 0.0f;
    // One untimed round each to fault in the allocator's pages.
    elementsPerSecond(logits, softmax, checksum);
    elementsPerSecond(logits, sigmoid, checksum);

    std::vector<double> softmaxRates;
    std::vector<double> sigmoidRates;
    for (int i = 0; i < repetitions; ++i) {
        softmaxRates.push_back(elementsPerSecond(logits, softmax, checksum));
        sigmoidRates.push_back(elementsPerSecond(logits, sigmoid, checksum));
    }

    const double softmaxRate = median(softmaxRates) / 1e6;
    const double sigmoidRate = median(sigmoidRates) / 1e6;
    std::printf("decode Float32 [1, 10, 512, 512], one thread, median of %d runs (checksum %.3f)\n",
                repetitions, static_cast<double>(checksum));
    std::printf("  softmax  %8.1f M elements/s   target >= 100 M/s  %s\n", softmaxRate,
                softmaxRate >= 100.0 ? "ok" : "MISSED");
    std::printf("  sigmoid  %8.1f M elements/s   target >= 200 M/s  %s\n", sigmoidRate,
                sigmoidRate >= 200.0 ? "ok" : "MISSED");
    return 0;
}
