// Control interface of the host stand-ins for kernel32 and the spooler, for
// tests and tools only. Product code never includes this header.
#ifndef UM_CONTROL_H
#define UM_CONTROL_H

#include <windows.h>

#ifdef __cplusplus
extern "C" {
#endif

// Puts every stand-in back to its initial state: no printers, no failure
// injection, counters 0, clock 2026-01-01 00:00:00.000 (Thursday), country
// code "1". Blocks still allocated stay allocated and counted.
void UmReset(void);

// GlobalAlloc / GlobalFree.
unsigned long UmGlobalOutstanding(void); // blocks allocated and not freed
unsigned long UmGlobalAllocCalls(void);  // GlobalAlloc calls since UmReset
unsigned long UmGlobalBadFrees(void);    // GlobalFree of something never allocated
// After `successes` more successful allocations, the next one fails (once).
// A negative value switches this off.
void UmGlobalFailAfter(long successes);
// Every allocation fails while this is on.
void UmGlobalFailAll(BOOL on);

// Failure points for low-resource sweeps. Every GlobalAlloc, OpenPrinter,
// GetPrinterData (either form, not a Windows 98 stub) and GetLocaleInfoA call
// is one point of its kind. After
// `successes` more points of the kinds in `kinds` (UM_POINT_* bits), the next
// one fails once, as it does when memory runs out: GlobalAlloc answers NULL,
// OpenPrinterW FALSE, GetPrinterDataW ERROR_NOT_ENOUGH_MEMORY and
// GetLocaleInfoA 0. A negative `successes` switches this off.
#define UM_POINT_GLOBALALLOC 0x1u
#define UM_POINT_OPENPRINTER 0x2u
#define UM_POINT_PRINTERDATA 0x4u
#define UM_POINT_LOCALE 0x8u
#define UM_POINT_ALL 0xFu
void UmFailPointAfter(unsigned kinds, long successes);
// The kind (UM_POINT_*) of the point that was failed since the last
// UmFailPointAfter, or 0 when none was.
unsigned UmFailPointHit(void);
// Points of each kind met since UmReset (kind: one UM_POINT_* bit).
unsigned long UmFailPointCalls(unsigned kind);

// GetLocalTime answers this time until it is set again.
void UmSetLocalTime(const SYSTEMTIME* time);

// GetLocaleInfoA(LOCALE_ICOUNTRY) answers this text (at most 15 characters).
void UmSetCountryCode(const char* text);
// Which GetLocaleInfoA call fails: 0 none, 1 the length query (no buffer),
// 2 the read into a buffer, 3 both.
void UmSetLocaleFailure(int which);
unsigned long UmLocaleCalls(void);

// The spooler. Printer and value names are compared without regard to
// ASCII case, as the spooler does.
void UmAddPrinter(const char* name);
void UmRemovePrinter(const char* name);
void UmSetPrinterDword(const char* printer, const char* valueName, DWORD value);
// Stored as REG_SZ: the UTF-16 text with its terminator.
void UmSetPrinterString(const char* printer, const char* valueName, const char* text);
// Any type and bytes, for values of an unexpected type or size.
void UmSetPrinterValue(const char* printer, const char* valueName, DWORD type, const void* data,
                       DWORD size);
void UmRemovePrinterValue(const char* printer, const char* valueName);

unsigned long UmPrinterOpens(void);        // successful OpenPrinter calls, either form
unsigned long UmPrinterOpenFailures(void); // OpenPrinter calls that failed (not the stubs)
unsigned long UmPrinterCloses(void);       // successful ClosePrinter calls
unsigned long UmPrinterBadCloses(void);    // ClosePrinter of a handle not open
unsigned long UmPrintersOpen(void);        // handles open now
unsigned long UmPrinterDataCalls(void);    // GetPrinterData calls, either form (not the stubs)
// While on, the spooler plays Windows 98 and Me: OpenPrinterW and
// GetPrinterDataW are stubs that fail with ERROR_CALL_NOT_IMPLEMENTED; the
// ANSI forms work as on every system.
void UmPlayWindows9xSpooler(BOOL on);
// While on, OpenPrinter fails as for an unknown printer.
void UmFailOpenPrinter(BOOL on);
// While non-zero, GetPrinterData answers this error for every value.
void UmFailPrinterData(DWORD error);

#ifdef __cplusplus
}
#endif

#endif // UM_CONTROL_H
