// Loads prnmodel.dll as the printer driver's other components do (by name,
// entry points looked up with GetProcAddress) and runs the model database
// cases shared with the host tests. Prints one line per case and a summary;
// exits non-zero when a case fails or the DLL cannot be used.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "modeldb_case_runner.h"

using namespace modeldb_cases;

namespace
{

const char* const kAccessNames[6] = {
    "XDB_AccessRootDataBase", "XDB_AccessDrvDataBase", "XDB_AccessLMDataBase",
    "XDB_AccessMntDataBase",  "XDB_AccessPADataBase",  "XDB_AccessSMDataBase",
};

struct Tally {
    int passed = 0;
    int failed = 0;
    int skipped = 0;
};

void Report(Tally& tally, const char* area, const char* name, const Verdict& v, bool lenient)
{
    if (v.ok) {
        ++tally.passed;
        std::printf("ok      %s: %s\n", area, name);
    } else if (lenient && v.missing) {
        ++tally.skipped;
        std::printf("skipped %s: %s: not there yet: %s\n", area, name, v.detail.c_str());
    } else {
        ++tally.failed;
        std::printf("FAILED  %s: %s: %s\n", area, name, v.detail.c_str());
    }
}

} // namespace

int main(int argc, char** argv)
{
    bool lenient = kLenientUntilDataLands;
    const char* dll = "prnmodel.dll";
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--strict") == 0)
            lenient = false;
        else
            dll = argv[i];
    }

    HMODULE module = LoadLibraryA(dll);
    if (module == nullptr) {
        std::printf("cannot load %s (error %lu)\n", dll,
                    static_cast<unsigned long>(GetLastError()));
        return 2;
    }
    EntryPoints entry{};
    bool complete = true;
    for (int i = 0; i < 6; ++i) {
        entry.db[i] = reinterpret_cast<AccessFn>(
            reinterpret_cast<void*>(GetProcAddress(module, kAccessNames[i])));
        if (entry.db[i] == nullptr) {
            std::printf("%s does not export %s\n", dll, kAccessNames[i]);
            complete = false;
        }
    }
    entry.media =
        reinterpret_cast<MediaFn>(reinterpret_cast<void*>(GetProcAddress(module, "GetMediaInfo")));
    if (entry.media == nullptr) {
        std::printf("%s does not export GetMediaInfo\n", dll);
        complete = false;
    }
    if (!complete)
        return 2;

    Tally tally;
    for (const DbCase& c : kDbCases)
        Report(tally, "database", c.name, RunDbCase(c, entry), lenient);
    for (const MediaCase& c : kMediaCases)
        Report(tally, "media", c.name, RunMediaCase(c, entry.media), lenient);

    FreeLibrary(module);
    std::printf("%d passed, %d failed, %d skipped\n", tally.passed, tally.failed, tally.skipped);
    return tally.failed == 0 ? 0 : 1;
}
