// A catalogue query over 10 000 items (target: at most 20 ms).
//
//   build/bench/bench_catalog

#include <tarnivale/ai/catalog.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

using namespace Tarnivale::AI;

int main() {
    const char* words[] = {"forest", "lake",   "river",   "harbour", "field",    "road",
                           "city",   "desert", "snow",    "cloud",   "boats",    "trees",
                           "crops",  "bridge", "airport", "coast",   "mountain", "village"};
    QList<AiVlmCatalogItem> items;
    for (int i = 0; i < 10000; ++i) {
        AiVlmCatalogItem item;
        item.id = QStringLiteral("item-%1").arg(i, 5, 10, QLatin1Char('0'));
        item.crs = QStringLiteral("EPSG:4326");
        item.extent = AiVlmGeoExtent{0, 0, 1, 1};
        item.caption = QStringLiteral("%1 and %2 beside a %3")
                           .arg(QLatin1String(words[i % 18]), QLatin1String(words[(i / 18) % 18]),
                                QLatin1String(words[(i / 7) % 18]));
        item.tags = {QLatin1String(words[(i * 5) % 18]), QLatin1String(words[(i * 11) % 18])};
        item.questionAnswers.insert(QStringLiteral("what is shown?"), item.caption);
        items.append(item);
    }
    const AiVlmCatalogPrototype catalog(items);
    AiVlmQueryRequest request;
    request.text = QStringLiteral("Boats in the harbour near the bridge");
    request.maximumResults = 20;
    std::vector<double> times;
    for (int i = 0; i < 50; ++i) {
        const auto start = std::chrono::steady_clock::now();
        catalog.query(request);
        times.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    std::printf("Catalogue query over 10000 items: median %.2f ms, max %.2f ms (target <= 20 ms)\n",
                times[times.size() / 2], times.back());
    return 0;
}
