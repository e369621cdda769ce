// TarnivaleAI_RunVlmCatalogQuery: the input is the catalogue document, a line "---", then the query document
// (an input without the line queries with "{}").

#include "fuzz/fuzz_support.h"

#include <QJsonArray>

using namespace Tarnivale::AI::Fuzzing;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("catalog-query", argc, argv);
    runText(R"({"items": [{"id": "a", "crs": "EPSG:4326", "caption": "forest"}]})"
            "\n---\n"
            R"({"text": "forest"})");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DocumentPair documents = splitDocuments(substituted(data, size));
    const std::u16string catalog = wideText(documents.first);
    const std::u16string query = wideText(documents.second.value_or(QByteArray("{}")));
    if (!safeWideDocument(catalog) || !safeWideDocument(query)) {
        return Refused;
    }
    const std::optional<QJsonObject> result =
        checkedWideResult(TarnivaleAI_RunVlmCatalogQuery(catalog.c_str(), query.c_str()));
    if (result) {
        const qsizetype count = result->value(QStringLiteral("results")).toArray().size();
        if (count > 100 || count > result->value(QStringLiteral("catalogSize")).toInt()) {
            fail("more results than the query's bound or the catalogue: " + std::to_string(count));
        }
    }
    return Ran;
}
