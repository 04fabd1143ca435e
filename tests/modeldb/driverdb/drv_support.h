// Calls into the driver database and readers of its answers.
#ifndef TESTS_DRIVERDB_DRV_SUPPORT_H
#define TESTS_DRIVERDB_DRV_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "../builders/builder_support.h"
#include "driverdb.h"
#include "prnmodel.h"
#include "store.h"
#include "um_control.h"

struct Answer {
    LONG result;
    DWORD size;
    std::vector<BYTE> bytes;

    LONG Int(size_t index) const
    {
        LONG v;
        std::memcpy(&v, bytes.data() + 4 * index, 4);
        return v;
    }
    // Field f (0 Value .. 4 DefaultMark) of list item i.
    LONG Item(size_t i, int f) const { return Int(5 * i + f); }
    bool AllFill() const
    {
        for (BYTE b : bytes)
            if (b != kFill)
                return false;
        return true;
    }
};

// One call with a buffer of bufferSize bytes (none for 0).
inline Answer Drv(DWORD id, const DataBaseRequest* request, DWORD bufferSize)
{
    Answer a;
    a.bytes.assign(bufferSize, kFill);
    a.size = kUntouchedSize;
    a.result = XDB_AccessDrvDataBase(id, request, bufferSize, bufferSize ? a.bytes.data() : nullptr,
                                     &a.size);
    return a;
}

// Size query, then a read into a buffer of exactly the size asked for.
inline Answer DrvRead(DWORD id, const DataBaseRequest* request)
{
    Answer query = Drv(id, request, 0);
    if (query.result != DB_MORE_DATA)
        return query;
    Answer a = Drv(id, request, query.size);
    if (a.size == kUntouchedSize)
        a.size = query.size;
    return a;
}

class DrvTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UmReset();
        outstanding_ = UmGlobalOutstanding();
    }
    void TearDown() override
    {
        EXPECT_EQ(UmGlobalOutstanding(), outstanding_);
        EXPECT_EQ(UmPrintersOpen(), 0u);
    }

  private:
    unsigned long outstanding_ = 0;
};

#endif
