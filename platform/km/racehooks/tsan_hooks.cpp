// The entry points that code compiled with -fsanitize=thread calls, linked
// in place of the ThreadSanitizer runtime: every access goes to the
// explorer's race checker (platform/km/sim/racecheck.cpp), which looks only
// at accesses of scheduled threads to device extensions. Function entry
// and exit, and the constructor's init, need nothing more.
#include "explore.h"

#include <cstddef>
#include <cstring>

namespace
{
inline void Read(const void* address, size_t size, const void* pc)
{
    kmsim::RaceAccess(address, size, false, pc);
}
inline void Write(const void* address, size_t size, const void* pc)
{
    kmsim::RaceAccess(address, size, true, pc);
}
} // namespace

#define PC __builtin_return_address(0)
#define SIZED(n)                                                                                   \
    void __tsan_read##n(void* a)                                                                   \
    {                                                                                              \
        Read(a, n, PC);                                                                            \
    }                                                                                              \
    void __tsan_write##n(void* a)                                                                  \
    {                                                                                              \
        Write(a, n, PC);                                                                           \
    }                                                                                              \
    void __tsan_unaligned_read##n(void* a)                                                         \
    {                                                                                              \
        Read(a, n, PC);                                                                            \
    }                                                                                              \
    void __tsan_unaligned_write##n(void* a)                                                        \
    {                                                                                              \
        Write(a, n, PC);                                                                           \
    }                                                                                              \
    void __tsan_read##n##_pc(void* a, void* pc)                                                    \
    {                                                                                              \
        Read(a, n, pc);                                                                            \
    }                                                                                              \
    void __tsan_write##n##_pc(void* a, void* pc)                                                   \
    {                                                                                              \
        Write(a, n, pc);                                                                           \
    }

extern "C" {

void __tsan_init()
{
    kmsim::ArmRaceCheck();
}
void __tsan_func_entry(void*) {}
void __tsan_func_exit() {}

SIZED(1)
SIZED(2)
SIZED(4)
SIZED(8)
SIZED(16)

void __tsan_read_range(void* a, unsigned long size)
{
    Read(a, size, PC);
}
void __tsan_write_range(void* a, unsigned long size)
{
    Write(a, size, PC);
}

void* __tsan_memset(void* d, int value, size_t size)
{
    Write(d, size, PC);
    return memset(d, value, size);
}
void* __tsan_memcpy(void* d, const void* s, size_t size)
{
    Read(s, size, PC);
    Write(d, size, PC);
    return memcpy(d, s, size);
}
void* __tsan_memmove(void* d, const void* s, size_t size)
{
    Read(s, size, PC);
    Write(d, size, PC);
    return memmove(d, s, size);
}

} // extern "C"
