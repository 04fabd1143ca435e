/*
 * Host stand-in for the subset of the Windows API headers that prnmodel and
 * its tools use: the base types with the platform's 32-bit widths, kernel32's
 * GlobalAlloc/GlobalFree, GetLocalTime, GetLocaleInfoA, Get/SetLastError and
 * the code-page conversions, and the C runtime's wide-string routines on
 * 16-bit WCHAR.
 */
#ifndef UM_WINDOWS_H
#define UM_WINDOWS_H

/* The C library first, so that our wide-string names below win. */
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>
#ifdef __cplusplus
/* <cwchar> removes macros named like the wide-string routines when it is
   first included; include it now so that ours below stay in force. */
#include <cwchar>
#endif

#ifdef __cplusplus
extern "C" {
#endif

#define WINAPI
#define CALLBACK
#define VOID void

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef unsigned int DWORD;
typedef int LONG;
typedef unsigned int ULONG;
typedef int BOOL;
typedef int WINBOOL;
typedef int INT;
typedef unsigned int UINT;
typedef short SHORT;
typedef unsigned short USHORT;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef wchar_t WCHAR;
typedef size_t SIZE_T;
typedef ptrdiff_t LONG_PTR;
typedef size_t ULONG_PTR;
typedef size_t DWORD_PTR;
typedef DWORD LCID;
typedef DWORD LCTYPE;
typedef DWORD ACCESS_MASK;

typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef HANDLE* LPHANDLE;
typedef HANDLE HGLOBAL;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef WORD* LPWORD;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef LONG* PLONG;
typedef LONG* LPLONG;
typedef BOOL* LPBOOL;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* PWSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *PSYSTEMTIME, *LPSYSTEMTIME;

/* Error codes (GetLastError and spooler results). */
#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_INVALID_DATA 13L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_CALL_NOT_IMPLEMENTED 120L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MORE_DATA 234L
#define ERROR_INVALID_FLAGS 1004L
#define ERROR_INVALID_PRINTER_NAME 1801L

/* Registry value types. */
#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7

/* kernel32: global memory. Only fixed blocks exist here. */
#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_ZEROINIT 0x0040
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);

/* kernel32: time and locale. */
#define LANG_USER_DEFAULT 0x0400
#define SORT_DEFAULT 0x0
#define MAKELCID(lgid, srtid) ((DWORD)((((DWORD)(WORD)(srtid)) << 16) | ((DWORD)(WORD)(lgid))))
#define LOCALE_USER_DEFAULT (MAKELCID(LANG_USER_DEFAULT, SORT_DEFAULT))
#define LOCALE_ICOUNTRY 0x00000005

VOID WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
int WINAPI GetLocaleInfoA(LCID Locale, LCTYPE LCType, LPSTR lpLCData, int cchData);

DWORD WINAPI GetLastError(void);
VOID WINAPI SetLastError(DWORD dwErrCode);

/* kernel32: code pages. The system code page (CP_ACP) is Windows-1252 here. */
#define CP_ACP 0
int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar);
int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                               LPBOOL lpUsedDefaultChar);

/*
 * The C runtime's wide-string routines, on 16-bit WCHAR. The host C library's
 * own assume 32-bit wchar_t, so these names are mapped to ours.
 */
size_t um_wcslen(const wchar_t* s);
wchar_t* um_wcscpy(wchar_t* dst, const wchar_t* src);
wchar_t* um_wcsncpy(wchar_t* dst, const wchar_t* src, size_t n);
wchar_t* um_wcscat(wchar_t* dst, const wchar_t* src);
int um_wcscmp(const wchar_t* a, const wchar_t* b);
int um_wcsncmp(const wchar_t* a, const wchar_t* b, size_t n);
long um_wcstol(const wchar_t* s, wchar_t** end, int base);

#define wcslen um_wcslen
#define wcscpy um_wcscpy
#define wcsncpy um_wcsncpy
#define wcscat um_wcscat
#define wcscmp um_wcscmp
#define wcsncmp um_wcsncmp
#define wcstol um_wcstol

#ifdef __cplusplus
}
/* C++ headers that name them through std:: reach ours too. */
namespace std
{
using ::um_wcscat;
using ::um_wcscmp;
using ::um_wcscpy;
using ::um_wcslen;
using ::um_wcsncmp;
using ::um_wcsncpy;
using ::um_wcstol;
} // namespace std
#endif

#endif /* UM_WINDOWS_H */
