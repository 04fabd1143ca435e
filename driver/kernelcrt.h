// The C runtime formatting routines that ntoskrnl exports and the driver
// calls. The mingw-w64 kernel headers declare the string routines of
// string.h but none of these, so the Windows build declares them here with
// the kernel's own signatures (swprintf takes no count). On the host the
// kernel stand-in declares its own versions and this header adds nothing.
#ifndef PRNSBP_KERNELCRT_H
#define PRNSBP_KERNELCRT_H

#if defined(_WIN32)
#include <stdarg.h>
#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

int __cdecl sprintf(char* buffer, const char* format, ...);
int __cdecl _snprintf(char* buffer, size_t count, const char* format, ...);
int __cdecl swprintf(wchar_t* buffer, const wchar_t* format, ...);
int __cdecl _snwprintf(wchar_t* buffer, size_t count, const wchar_t* format, ...);
int __cdecl _vsnwprintf(wchar_t* buffer, size_t count, const wchar_t* format, va_list args);

#ifdef __cplusplus
}
#endif
#endif // _WIN32

#endif // PRNSBP_KERNELCRT_H
