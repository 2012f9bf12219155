// Feeds the asset CSV reader arbitrary files and checks:
//  - nothing is read out of bounds (the sanitizers watch), and the reader stops;
//  - every asset it gives passes CheckAsset, its tag is new, and records start on rising lines;
//  - a fault is kBadInput, names a line the reader reached, and its text starts with that line;
//  - what it gave, written back by the writer, reads back as the same assets without a fault,
//    and writing those again gives the same bytes (the export of an import imports back).
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "site/AssetCsv.h"

namespace {

using namespace trelvane::site;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string Write(const std::vector<Asset>& assets) {
    std::string out;
    AppendAssetCsvHeader(out);
    for (const Asset& a : assets) {
        AppendAssetCsvLine(out, a);
    }
    return out;
}

std::vector<Asset> ReadAll(const std::string& bytes, std::optional<Fault>& failure) {
    std::istringstream in(bytes);
    AssetCsvReader reader(in);
    std::vector<Asset> assets;
    std::set<std::uint32_t> tags;
    std::uint64_t lastLine = 1;
    Asset a;
    while (reader.Next(a)) {
        Check(!CheckAsset(a));
        Check(tags.insert(a.tag).second);
        Check(reader.Seen(a.tag));
        Check(reader.RecordLine() > lastLine && reader.RecordLine() <= reader.LinesRead());
        lastLine = reader.RecordLine();
        assets.push_back(a);
    }
    Check(!reader.Next(a));  // stays stopped
    Check(reader.AssetsRead() == assets.size());
    failure = reader.Failure();
    if (failure) {
        Check(failure->code == FaultCode::kBadInput);
        Check(failure->line >= 1 &&
              failure->line <= std::max<std::uint64_t>(reader.LinesRead(), 1));
        Check(failure->text.starts_with("line " + std::to_string(failure->line) + ": "));
    }
    return assets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::optional<Fault> failure;
    const std::vector<Asset> assets = ReadAll(bytes, failure);

    const std::string written = Write(assets);
    std::optional<Fault> again;
    const std::vector<Asset> reread = ReadAll(written, again);
    Check(!again);
    Check(reread == assets);
    Check(Write(reread) == written);
    return 0;
}
