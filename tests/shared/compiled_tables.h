// A compiled model laid out as the engine's table set, for tests and fuzzers
// that run the engine over model sources of their own.
#pragma once

#include <vector>

#include "modelc.h"
#include "store.h"

struct CompiledTables {
    std::vector<EntryDescriptor> entries;
    std::vector<WORD> ids;
    std::vector<DWORD> indexes;
    ModelTables view{};

    CompiledTables() = default;
    // view points into the vectors above: a copy would point into the original.
    CompiledTables(const CompiledTables&) = delete;
    CompiledTables& operator=(const CompiledTables&) = delete;

    // The pools stay in model, which must outlive the tables.
    const ModelTables* From(const modelc::CompiledModel& model)
    {
        entries.clear();
        ids.clear();
        indexes.clear();
        for (const auto& e : model.entries)
            entries.push_back(EntryDescriptor{e.first, e.second});
        for (const auto& k : model.keys) {
            ids.push_back(k.first);
            indexes.push_back(k.second);
        }
        view = ModelTables{entries.data(),
                           static_cast<DWORD>(entries.size()),
                           ids.data(),
                           indexes.data(),
                           static_cast<DWORD>(ids.size()),
                           model.bytePool.data(),
                           static_cast<DWORD>(model.bytePool.size()),
                           model.shortPool.data(),
                           static_cast<DWORD>(model.shortPool.size()),
                           reinterpret_cast<const LONG*>(model.longPool.data()),
                           static_cast<DWORD>(model.longPool.size()),
                           model.matchPool.data(),
                           static_cast<DWORD>(model.matchPool.size())};
        return &view;
    }
};
