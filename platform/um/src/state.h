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

} // namespace um

#endif
