// Shared state of the stand-ins: one lock for everything, since the calls are
// short and the exports may be driven from several threads at once.
#ifndef UM_STATE_H
#define UM_STATE_H

#include <mutex>

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

} // namespace um

#endif
