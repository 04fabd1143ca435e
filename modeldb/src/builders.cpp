#include "builders.h"

// No builder is wired in yet: every computed entry yields nothing.
LONG BuildComputedEntry(DWORD builderId, const DataBaseRequest* request, DWORD bufferSize,
                        void* buffer, DWORD* outSize)
{
    (void)builderId;
    (void)request;
    (void)bufferSize;
    (void)buffer;
    (void)outSize;
    return DB_NO_ANSWER;
}
