// Every allocation of a driver-database answer may fail: the answer is then
// DB_FAILED (or, where a failed read only means "no value", the fallback),
// and nothing stays allocated.
#include "request.h"

#include "driverdb.h"
#include "store.h"

namespace
{

using Allocation = ModelDbTest;

struct AllocationCase {
    DWORD id;
    bool mustAllocate;
};

TEST_F(Allocation, EachFailurePointAnswersFailedAndLeaksNothing)
{
    const AllocationCase cases[] = {
        {4108, true},  {4109, true}, {4112, true}, {4113, true},  {4118, true},
        {4119, false}, {4191, true}, {4192, true}, {4126, false}, {4099, false},
    };
    Request request;
    request.Set(4, 3).Set(5, 1).Set(8, 3).Set(6, 1).Set(28, 9).Set(106, 1);
    for (const AllocationCase& c : cases) {
        Answer reference = DrvRead(c.id, request.Get());
        unsigned long before = UmGlobalAllocCalls();
        Answer again = DrvRead(c.id, request.Get());
        unsigned long calls = UmGlobalAllocCalls() - before;
        EXPECT_EQ(again.bytes, reference.bytes) << c.id;
        if (c.mustAllocate) {
            EXPECT_GT(calls, 0u) << c.id;
        }

        unsigned long outstanding = UmGlobalOutstanding();
        for (long k = 0; k < long(calls); ++k) {
            UmGlobalFailAfter(k);
            Answer a = Drv(c.id, request.Get(), DWORD(reference.bytes.size()));
            UmGlobalFailAfter(-1);
            EXPECT_TRUE(a.result == DB_FAILED || a.result == reference.result)
                << c.id << " failing allocation " << k << " gave " << a.result;
            EXPECT_EQ(UmGlobalOutstanding(), outstanding) << c.id << " at " << k;
        }
    }
}

TEST_F(Allocation, CopyOfTheRequestFailingFailsTheList)
{
    Request request;
    UmGlobalFailAll(TRUE);
    for (DWORD id : {4108u, 4109u, 4112u, 4113u, 4118u, 4191u, 4192u})
        EXPECT_EQ(Drv(id, request.Get(), 1024).result, DB_FAILED) << id;
    UmGlobalFailAll(FALSE);
}

} // namespace
