// The model compiler on mutated model sources. The input is one or more
// source files, split at lines reading "#%%" (a comment, so a whole file is
// a valid input too). A model that compiles must emit its C++ and must walk
// in the store's engine: every key asked with a plain request stays inside
// the packed tables.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_input.h"
#include "compiled_tables.h"
#include "modelc.h"
#include "store.h"
#include "um_control.h"
#include "walk_cost.h"

namespace
{

std::vector<modelc::SourceFile> SplitSources(const std::string& text)
{
    std::vector<modelc::SourceFile> files;
    std::string current;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        std::string line =
            text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (line == "#%%") {
            files.push_back({"f" + std::to_string(files.size()) + ".model", current});
            current.clear();
        } else {
            current += line;
            current += '\n';
        }
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    files.push_back({"f" + std::to_string(files.size()) + ".model", current});
    return files;
}

void WalkEveryKey(const modelc::CompiledModel& model)
{
    CompiledTables tables;
    SwapModelTables(tables.From(model));

    std::vector<LONG> settings(8, 1);
    const char* strings[] = {"A", "", nullptr};
    DataBaseRequest request{};
    request.SettingCount = static_cast<DWORD>(settings.size());
    request.Settings = settings.data();
    request.StringCount = 3;
    request.Strings = strings;
    WalkCost cost(model.entries);
    unsigned long blocks = UmGlobalOutstanding();
    for (size_t k = 0; k < tables.ids.size() && k < 64; ++k) {
        if (cost.Of(tables.indexes[k]) >= WalkCost::kLimit)
            continue;
        EntryDescriptor leaf{};
        LONG result = FindEntry(tables.ids[k], &request, &leaf);
        if (result == DB_OK) {
            DWORD need = 0;
            result = ReadEntry(&request, 0, nullptr, &need, &leaf);
            if (result == DB_MORE_DATA && need <= (1u << 20)) {
                std::vector<BYTE> buffer(need);
                DWORD got = 0;
                result = ReadEntry(&request, need, buffer.data(), &got, &leaf);
                FUZZ_CHECK(result != DB_OK || got <= need, "leaf larger than its size");
            }
        }
        FUZZ_CHECK(result >= DB_NO_REQUEST && result <= DB_UNKNOWN_ID,
                   "result outside the DB_ codes");
    }
    FUZZ_CHECK(UmGlobalOutstanding() == blocks, "GlobalAlloc block leaked");
    SwapModelTables(nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzInput in(data, size);
    std::vector<modelc::SourceFile> sources = SplitSources(in.Rest());
    modelc::CompiledModel model;
    std::string error;
    if (!modelc::CompileModel(sources, model, error)) {
        FUZZ_CHECK(!error.empty(), "rejected without a message");
        return 0;
    }
    std::vector<std::string> names;
    for (const auto& s : sources)
        names.push_back(s.name);
    std::string cpp = modelc::EmitCpp(model, names);
    FUZZ_CHECK(cpp.find("ModelTableSet") != std::string::npos, "no table set emitted");
    for (const auto& k : model.keys)
        FUZZ_CHECK(k.second < model.entries.size(), "key points outside the entry table");
    UmReset();
    WalkEveryKey(model);
    return 0;
}
