// Shared state of the stand-ins: one lock for everything, since the calls are
// short and the exports may be driven from several threads at once.
#ifndef UM_STATE_H
#define UM_STATE_H

#include <mutex>
#include <string>

#include <windows.h>

namespace um
{

std::mutex& Lock();
void ResetMemory();
void ResetLocale();
void ResetSpooler();
void ResetFailPoints();
// Counts one failure point of `kind` (UM_POINT_*); TRUE when this one must
// fail. Called with Lock() held.
bool FailPointNow(unsigned kind);
// Text in the system code page (Windows-1252) and back; a unit the code page
// lacks becomes '?' or its best fit, as WideCharToMultiByte makes it.
std::u16string FromSystemCodePage(const char* bytes, size_t count);
std::string ToSystemCodePage(const std::u16string& text);

} // namespace um

#endif
