// Loads prnmodel.dll as the printer driver's other components do (by name,
// entry points looked up with GetProcAddress) and runs the model database
// cases shared with the host tests. Prints one line per case and a summary;
// exits non-zero when a case fails or the DLL cannot be used.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "modeldb_case_runner.h"

using namespace modeldb_cases;

namespace
{

const char* const kAccessNames[6] = {
    "XDB_AccessRootDataBase", "XDB_AccessDrvDataBase", "XDB_AccessLMDataBase",
    "XDB_AccessMntDataBase",  "XDB_AccessPADataBase",  "XDB_AccessSMDataBase",
};

// Wine's spooler keeps its printers in the registry, as Windows does; its
// AddPrinterW needs a print provider entry Wine lacks, so the test printers
// are written to that store directly, the way an installed printer stands
// there, and removed again at the end.
const wchar_t kPrintersKey[] = L"System\\CurrentControlSet\\Control\\Print\\Printers\\";

std::wstring Wide(const char* text)
{
    std::wstring out;
    for (const char* p = text; *p; ++p)
        out += static_cast<wchar_t>(static_cast<unsigned char>(*p));
    return out;
}

bool SetText(HKEY key, const wchar_t* name, const std::wstring& text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool RegisterPrinter(const TestPrinter& printer)
{
    std::wstring path = kPrintersKey + Wide(printer.name);
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    DWORD attributes = 0;
    bool ok =
        SetText(key, L"Name", Wide(printer.name)) && SetText(key, L"Port", L"FILE:") &&
        SetText(key, L"Printer Driver", L"ZR Case Driver") &&
        SetText(key, L"Print Processor", L"WinPrint") && SetText(key, L"Datatype", L"RAW") &&
        RegSetValueExW(key, L"Attributes", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&attributes),
                       sizeof attributes) == ERROR_SUCCESS;
    HKEY data = nullptr;
    ok = ok && RegCreateKeyExW(key, L"PrinterDriverData", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                               &data, nullptr) == ERROR_SUCCESS;
    for (int i = 0; ok && i < printer.count; ++i) {
        const PrinterValue& v = printer.values[i];
        std::wstring name = Wide(v.name);
        if (v.text != nullptr)
            ok = SetText(data, name.c_str(), Wide(v.text));
        else
            ok = RegSetValueExW(data, name.c_str(), 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&v.number),
                                sizeof v.number) == ERROR_SUCCESS;
    }
    if (data != nullptr)
        RegCloseKey(data);
    RegCloseKey(key);
    return ok;
}

void UnregisterPrinter(const TestPrinter& printer)
{
    std::wstring path = kPrintersKey + Wide(printer.name);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, (path + L"\\PrinterDriverData").c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
}

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

    bool registered = true;
    for (const TestPrinter& printer : kTestPrinters)
        registered = RegisterPrinter(printer) && registered;
    if (!registered) {
        std::printf("cannot register the test printers with the spooler\n");
        ++tally.failed;
    }
    for (const DbCase& c : kPrinterDataCases)
        Report(tally, "printer data", c.name, RunDbCase(c, entry), lenient);
    for (const TestPrinter& printer : kTestPrinters)
        UnregisterPrinter(printer);

    for (const MediaCase& c : kMediaCases)
        Report(tally, "media", c.name, RunMediaCase(c, entry.media), lenient);

    FreeLibrary(module);
    std::printf("%d passed, %d failed, %d skipped\n", tally.passed, tally.failed, tally.skipped);
    return tally.failed == 0 ? 0 : 1;
}
