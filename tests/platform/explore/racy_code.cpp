// Code built for the race checker (-fsanitize=thread with the simulated
// kernel's hooks), as the driver is in the catalogue: each routine touches
// a device extension with or without what orders it.
#include "racy_code.h"

void AddUnlocked(Counters* c)
{
    c->total++;
}

void AddLocked(Counters* c)
{
    ExAcquireFastMutex(&c->lock);
    c->total++;
    ExReleaseFastMutex(&c->lock);
}

void Publish(Counters* c, LONG value)
{
    c->total = value;
    KeSetEvent(&c->published, IO_NO_INCREMENT, FALSE);
}

LONG AwaitPublished(Counters* c)
{
    KeWaitForSingleObject(&c->published, Executive, KernelMode, FALSE, NULL);
    return c->total;
}

void PublishByFlag(Counters* c, LONG value)
{
    c->total = value;
    InterlockedExchange(&c->ready, 1);
}

LONG ReadWhenFlagged(Counters* c)
{
    LARGE_INTEGER step;
    step.QuadPart = -10000;
    while (InterlockedCompareExchange(&c->ready, 0, 0) == 0)
        KeDelayExecutionThread(KernelMode, FALSE, &step);
    return c->total;
}

LONG PeekUnlocked(Counters* c)
{
    return c->total;
}
