// What the decoded view names by asking the model: the paper of a paper
// code, so that no second table of papers stands in the tools.
#include "decode.h"

#include "modelnames.h"
#include "prnmodel.h"

#include <map>
#include <mutex>

namespace prnsim
{

namespace
{

const DWORD kPaperCodeId = 4185; // the printer's paper code of setting 28
const DWORD kPaperSizeSetting = 28;

// Every paper size the model lists, by its paper code.
std::map<unsigned, std::string> PapersByCode()
{
    std::map<unsigned, std::string> papers;
    const modelnames::Setting* size = modelnames::SettingOf(kPaperSizeSetting);
    if (size == nullptr)
        return papers;
    for (size_t i = 0; i < size->valueCount; i++) {
        LONG settings[kPaperSizeSetting + 1] = {};
        settings[kPaperSizeSetting] = size->values[i].value;
        DataBaseRequest request = {};
        request.SettingCount = kPaperSizeSetting + 1;
        request.Settings = settings;
        LONG code[2] = {};
        DWORD written = 0;
        if (XDB_AccessDrvDataBase(kPaperCodeId, &request, sizeof code, code, &written) != DB_OK ||
            written < sizeof code[0])
            continue;
        std::string name = size->values[i].name;
        papers.emplace((unsigned)code[0],
                       name.empty() ? "paper size " + std::to_string(size->values[i].value) : name);
    }
    return papers;
}

} // namespace

std::string PaperOfCode(unsigned code)
{
    static std::once_flag once;
    static std::map<unsigned, std::string> papers;
    std::call_once(once, [] { papers = PapersByCode(); });
    auto it = papers.find(code);
    return it == papers.end() ? "" : it->second;
}

} // namespace prnsim
