// Low-resource sweeps of the model database: a request is run again and
// again, failing the 1st, 2nd, ... Nth failure point (GlobalAlloc,
// OpenPrinterW, GetPrinterDataW, GetLocaleInfoA) until a run meets none.
// Every run must end in a DB_ code, leak no block and no printer handle, and
// answer what the request answers with all resources, what it answers when
// one of the things that failure can take away is missing, or DB_FAILED.
#ifndef TESTS_LOWRES_DB_SWEEP_H
#define TESTS_LOWRES_DB_SWEEP_H

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "prnmodel.h"
#include "um_control.h"

namespace lowres
{

using Export = LONG(WINAPI*)(DWORD, const DataBaseRequest*, DWORD, void*, DWORD*);

struct Outcome {
    LONG result = 0;
    DWORD size = 0;
    std::vector<BYTE> bytes; // the answer on DB_OK, else empty

    bool operator==(const Outcome& o) const
    {
        return result == o.result && size == o.size && bytes == o.bytes;
    }
};

std::string Describe(const Outcome& o);

// A request record that owns its arrays. Printer names are opened by the
// exports themselves, so every call by name passes an OpenPrinterW point.
struct Request {
    std::vector<LONG> settings;
    std::vector<const char*> strings;
    const WCHAR* printerName = nullptr;
    DataBaseRequest record{};

    explicit Request(size_t settingCount = 132) : settings(settingCount, 0) {}
    Request& Set(size_t n, LONG value)
    {
        settings.at(n) = value;
        return *this;
    }
    Request& Strings(std::vector<const char*> s)
    {
        strings = std::move(s);
        return *this;
    }
    Request& ByName(const WCHAR* name)
    {
        printerName = name;
        return *this;
    }
    const DataBaseRequest* Get();
};

// A caller that follows the size protocol: size query, then reads into a
// buffer of the size asked for, again while the answer grows (printer data
// can change between the two calls).
Outcome Read(Export db, DWORD id, Request& request);

// GetMediaInfo with a 28-byte record; result 1 or 0, the record on 1.
Outcome MediaInfoOf(const WCHAR* text);

struct Scenario {
    const char* kind; // the request kind, for the count
    std::string name;
    std::function<Outcome()> run;
    // Answers a single failure may also give, each derived from a run in a
    // fully working environment (reference given).
    using Alternative = std::function<Outcome(const Outcome& reference)>;
    std::vector<Alternative> alternatives;

    Scenario(const char* k, std::string n, std::function<Outcome()> r,
             std::vector<Alternative> a = {})
        : kind(k), name(std::move(n)), run(std::move(r)), alternatives(std::move(a))
    {
    }
};

// The environment every scenario starts in (after UmReset): the printer
// "ZR Tessa" with the values a job reads.
void StandardPrinter();

// Drives the sweep; returns the (scenario, failure point) pairs driven, i.e.
// the runs in which a failure point was failed.
unsigned long Sweep(const Scenario& scenario, const std::function<void()>& environment);

// Pairs driven by every sweep of this process, by request kind.
std::map<std::string, unsigned long>& PairsByKind();

} // namespace lowres

#endif
