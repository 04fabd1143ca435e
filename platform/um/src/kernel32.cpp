// kernel32 on the host: fixed global memory with bookkeeping, a settable
// clock and locale, and the thread's last error.
#include <cstring>
#include <string>
#include <unordered_map>

#include "state.h"
#include "um_control.h"

namespace
{

struct MemoryState {
    std::unordered_map<void*, size_t> blocks;
    unsigned long allocCalls = 0;
    unsigned long badFrees = 0;
    long failAfter = -1;
    bool failAll = false;
};

MemoryState& Memory()
{
    static MemoryState state;
    return state;
}

struct LocaleState {
    SYSTEMTIME now{};
    std::string country = "1";
    int failure = 0;
    unsigned long calls = 0;
};

LocaleState& Locale()
{
    static LocaleState state;
    return state;
}

struct FailPointState {
    unsigned kinds = 0;
    long successes = -1;
    unsigned hit = 0;
    unsigned long calls[4] = {0, 0, 0, 0};
};

FailPointState& FailPoints()
{
    static FailPointState state;
    return state;
}

int FailPointSlot(unsigned kind)
{
    switch (kind) {
    case UM_POINT_GLOBALALLOC:
        return 0;
    case UM_POINT_OPENPRINTER:
        return 1;
    case UM_POINT_PRINTERDATA:
        return 2;
    case UM_POINT_LOCALE:
        return 3;
    default:
        return -1;
    }
}

thread_local DWORD lastError = ERROR_SUCCESS;

// Fresh blocks without GMEM_ZEROINIT hold garbage, as on Windows, so code
// that forgets to clear a buffer shows it.
const unsigned char kGarbage = 0xCD;

} // namespace

namespace um
{

std::mutex& Lock()
{
    static std::mutex lock;
    return lock;
}

void ResetMemory()
{
    MemoryState& m = Memory();
    m.allocCalls = 0;
    m.badFrees = 0;
    m.failAfter = -1;
    m.failAll = false;
}

void ResetFailPoints()
{
    FailPoints() = FailPointState();
}

bool FailPointNow(unsigned kind)
{
    FailPointState& f = FailPoints();
    int slot = FailPointSlot(kind);
    if (slot >= 0)
        ++f.calls[slot];
    if ((f.kinds & kind) == 0 || f.successes < 0)
        return false;
    if (f.successes > 0) {
        --f.successes;
        return false;
    }
    // Once: the points after it succeed again.
    f.successes = -1;
    f.hit = kind;
    return true;
}

void ResetLocale()
{
    LocaleState& l = Locale();
    l.now = SYSTEMTIME{2026, 1, 4, 1, 0, 0, 0, 0};
    l.country = "1";
    l.failure = 0;
    l.calls = 0;
}

} // namespace um

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    MemoryState& m = Memory();
    ++m.allocCalls;
    if ((uFlags & ~static_cast<UINT>(GMEM_ZEROINIT)) != 0) {
        // Moveable and other blocks need GlobalLock, which nothing here uses.
        lastError = ERROR_INVALID_PARAMETER;
        return NULL;
    }
    bool fail = um::FailPointNow(UM_POINT_GLOBALALLOC) || m.failAll;
    if (!fail && m.failAfter >= 0) {
        if (m.failAfter == 0)
            fail = true;
        --m.failAfter;
    }
    if (fail) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return NULL;
    }
    // Zero-byte blocks are valid handles on Windows; keep them distinct.
    void* block = ::operator new(dwBytes == 0 ? 1 : dwBytes);
    std::memset(block, (uFlags & GMEM_ZEROINIT) ? 0 : kGarbage, dwBytes == 0 ? 1 : dwBytes);
    m.blocks.emplace(block, dwBytes);
    return block;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem)
{
    if (hMem == NULL)
        return NULL;
    std::lock_guard<std::mutex> guard(um::Lock());
    MemoryState& m = Memory();
    auto it = m.blocks.find(hMem);
    if (it == m.blocks.end()) {
        ++m.badFrees;
        lastError = ERROR_INVALID_HANDLE;
        return hMem;
    }
    m.blocks.erase(it);
    ::operator delete(hMem);
    return NULL;
}

VOID WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime)
{
    if (lpSystemTime == NULL)
        return;
    std::lock_guard<std::mutex> guard(um::Lock());
    *lpSystemTime = Locale().now;
}

int WINAPI GetLocaleInfoA(LCID Locale_, LCTYPE LCType, LPSTR lpLCData, int cchData)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    LocaleState& l = Locale();
    ++l.calls;
    if (Locale_ != LOCALE_USER_DEFAULT || LCType != LOCALE_ICOUNTRY) {
        lastError = ERROR_INVALID_FLAGS;
        return 0;
    }
    if (cchData < 0 || (cchData > 0 && lpLCData == NULL)) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (um::FailPointNow(UM_POINT_LOCALE)) {
        lastError = ERROR_NOT_ENOUGH_MEMORY;
        return 0;
    }
    int need = static_cast<int>(l.country.size()) + 1;
    int failBit = cchData == 0 ? 1 : 2;
    if (l.failure & failBit) {
        lastError = ERROR_INVALID_PARAMETER;
        return 0;
    }
    if (cchData == 0)
        return need;
    if (cchData < need) {
        lastError = ERROR_INSUFFICIENT_BUFFER;
        return 0;
    }
    std::memcpy(lpLCData, l.country.c_str(), need);
    return need;
}

DWORD WINAPI GetLastError(void)
{
    return lastError;
}

VOID WINAPI SetLastError(DWORD dwErrCode)
{
    lastError = dwErrCode;
}

unsigned long UmGlobalOutstanding(void)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    return static_cast<unsigned long>(Memory().blocks.size());
}

unsigned long UmGlobalAllocCalls(void)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    return Memory().allocCalls;
}

unsigned long UmGlobalBadFrees(void)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    return Memory().badFrees;
}

void UmGlobalFailAfter(long successes)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Memory().failAfter = successes;
}

void UmGlobalFailAll(BOOL on)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Memory().failAll = on != FALSE;
}

void UmSetLocalTime(const SYSTEMTIME* time)
{
    if (time == NULL)
        return;
    std::lock_guard<std::mutex> guard(um::Lock());
    Locale().now = *time;
}

void UmSetCountryCode(const char* text)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    std::string value = text ? text : "";
    if (value.size() > 15)
        value.resize(15);
    Locale().country = value;
}

void UmSetLocaleFailure(int which)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    Locale().failure = which;
}

unsigned long UmLocaleCalls(void)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    return Locale().calls;
}

void UmFailPointAfter(unsigned kinds, long successes)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    FailPointState& f = FailPoints();
    f.kinds = kinds;
    f.successes = successes;
    f.hit = 0;
}

unsigned UmFailPointHit(void)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    return FailPoints().hit;
}

unsigned long UmFailPointCalls(unsigned kind)
{
    std::lock_guard<std::mutex> guard(um::Lock());
    int slot = FailPointSlot(kind);
    return slot < 0 ? 0 : FailPoints().calls[slot];
}

void UmReset(void)
{
    {
        std::lock_guard<std::mutex> guard(um::Lock());
        um::ResetFailPoints();
        um::ResetMemory();
        um::ResetLocale();
        um::ResetSpooler();
    }
    lastError = ERROR_SUCCESS;
}

} // extern "C"

namespace
{
// The stand-ins start in their reset state without anyone calling UmReset.
struct InitialState {
    InitialState() { um::ResetLocale(); }
} initialState;
} // namespace
