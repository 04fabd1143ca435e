// A device extension and the routines of racy_code.cpp that use it.
#ifndef PRN_TESTS_RACY_CODE_H
#define PRN_TESTS_RACY_CODE_H

#include <wdm.h>

struct Counters {
    LONG total;
    LONG ready;
    FAST_MUTEX lock;
    KEVENT published;
};

void AddUnlocked(Counters* c);
void AddLocked(Counters* c);
// total set, then published by an event or an interlocked flag.
void Publish(Counters* c, LONG value);
LONG AwaitPublished(Counters* c);
void PublishByFlag(Counters* c, LONG value);
LONG ReadWhenFlagged(Counters* c);
LONG PeekUnlocked(Counters* c);

#endif
