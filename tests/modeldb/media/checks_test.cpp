// The driver database checks a proposed media must pass.
#include "request.h"

#include <vector>

#include "media.h"

namespace
{

using MediaChecks = ModelDbTest;

const LONG kBorderlessMedia[] = {281, 285, 284, 277, 283, 262, 1};

TEST_F(MediaChecks, ListedOnlyUnderTheListsConditions)
{
    struct {
        LONG s111, s4, s9;
        bool lists;
    } cases[] = {
        {0, 3, 0, true},  {0, 3, 1, true},  {0, 3, 2, false},
        {1, 3, 0, false}, {0, 2, 0, false}, {0, 0, 1, false},
    };
    for (const auto& c : cases) {
        Request r;
        r.settings[111] = c.s111;
        r.settings[4] = c.s4;
        r.settings[9] = c.s9;
        for (LONG media : kBorderlessMedia)
            EXPECT_EQ(IsMediaListed(r.Get(), media), c.lists ? 1 : 0)
                << media << " with 111/4/9 = " << c.s111 << "/" << c.s4 << "/" << c.s9;
        for (LONG media : {2L, 263L, 271L, 999L, 0L})
            EXPECT_EQ(IsMediaListed(r.Get(), media), 0) << media;
    }
}

TEST_F(MediaChecks, AllowedOnlyForPlainPaperWhateverTheJobsMedia)
{
    Request r;
    r.settings[5] = 285;
    EXPECT_EQ(IsMediaAllowed(r.Get(), 1), 1);
    for (LONG media : {285L, 2L, 262L, 0L})
        EXPECT_EQ(IsMediaAllowed(r.Get(), media), 0) << media;
    EXPECT_EQ(r.settings[5], 285) << "the caller's request must not change";
}

TEST_F(MediaChecks, AFailedAllocationCountsAsRefusal)
{
    Request r;
    r.settings[4] = 3;
    // The request copy and the list buffer.
    for (long n = 0; n < 2; ++n) {
        UmGlobalFailAfter(n);
        EXPECT_EQ(IsMediaListed(r.Get(), 285), 0) << n;
        UmGlobalFailAfter(-1);
    }
    // The copy and the two pairs.
    for (long n = 0; n < 3; ++n) {
        UmGlobalFailAfter(n);
        EXPECT_EQ(MediaCheckPairsEqual(r.Get()), 0) << n;
        UmGlobalFailAfter(-1);
    }
    UmGlobalFailAll(TRUE);
    EXPECT_EQ(IsMediaAllowed(r.Get(), 1), 0);
    UmGlobalFailAll(FALSE);
}

} // namespace
