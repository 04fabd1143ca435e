// Shared helpers of the store tests: hand-built table sets, a fixture that
// checks every test leaves no GlobalAlloc block and no printer handle open,
// and wide-string conversion that never touches the C library's wchar_t code.
#ifndef STORE_FIXTURE_H
#define STORE_FIXTURE_H

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "store.h"
#include "um_control.h"

// Builds a table set entry by entry. Make* functions put values into the
// pools and return the two words of an entry without placing it; nodes place
// their children (or labels) as one consecutive block.
struct TableBuilder {
    std::vector<EntryDescriptor> entries;
    std::vector<WORD> keyIds;
    std::vector<DWORD> keyEntries;
    std::vector<BYTE> bytes;
    std::vector<WORD> shorts;
    std::vector<LONG> longs;
    std::vector<BYTE> matches;
    ModelTables view{};

    static EntryDescriptor Words(BYTE type, DWORD low24, DWORD second)
    {
        return EntryDescriptor{(static_cast<DWORD>(type) << 24) | (low24 & 0xFFFFFFu), second};
    }
    static DWORD TagCount(WORD tag, DWORD count) { return (static_cast<DWORD>(tag) << 16) | count; }
    static BYTE T(EntryType type) { return static_cast<BYTE>(type); }

    DWORD Append(EntryDescriptor e)
    {
        entries.push_back(e);
        return static_cast<DWORD>(entries.size() - 1);
    }
    DWORD AppendBlock(const std::vector<EntryDescriptor>& block)
    {
        DWORD first = static_cast<DWORD>(entries.size());
        entries.insert(entries.end(), block.begin(), block.end());
        return first;
    }

    EntryDescriptor Text(WORD tag, const std::string& s)
    {
        DWORD offset = static_cast<DWORD>(bytes.size());
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
        return Words(T(EntryType::Text), offset, TagCount(tag, static_cast<DWORD>(s.size() + 1)));
    }
    EntryDescriptor ByteLeaf(EntryType type, WORD tag, std::initializer_list<BYTE> values)
    {
        DWORD offset = static_cast<DWORD>(bytes.size());
        // One by one: GCC 12 at -O2 takes a range insert of an initializer
        // list for an overflow (-Wstringop-overflow) that cannot happen.
        for (BYTE value : values)
            bytes.push_back(value);
        return Words(T(type), offset, TagCount(tag, static_cast<DWORD>(values.size())));
    }
    EntryDescriptor ShortLeaf(EntryType type, WORD tag, std::initializer_list<WORD> values)
    {
        DWORD offset = static_cast<DWORD>(shorts.size());
        shorts.insert(shorts.end(), values);
        return Words(T(type), offset, TagCount(tag, static_cast<DWORD>(values.size())));
    }
    EntryDescriptor LongLeaf(WORD tag, std::initializer_list<LONG> values)
    {
        DWORD offset = static_cast<DWORD>(longs.size());
        longs.insert(longs.end(), values);
        return Words(T(EntryType::Int32Array), offset,
                     TagCount(tag, static_cast<DWORD>(values.size())));
    }
    EntryDescriptor Built(WORD tag, WORD builder)
    {
        return Words(T(EntryType::Built), 0, TagCount(tag, builder));
    }

    EntryDescriptor Node(EntryType type, WORD tag, const std::vector<EntryDescriptor>& children)
    {
        DWORD first = AppendBlock(children);
        return Words(T(type), first, TagCount(tag, static_cast<DWORD>(children.size())));
    }
    EntryDescriptor Seq(const std::vector<EntryDescriptor>& children)
    {
        return Node(EntryType::Sequence, 0, children);
    }

    // Case labels: the target is placed on its own and the label points at it.
    EntryDescriptor Equals(DWORD value, EntryDescriptor target)
    {
        return Words(T(EntryType::CaseEquals), Append(target), value);
    }
    EntryDescriptor Range(LONG low, LONG high, EntryDescriptor target)
    {
        DWORD r = static_cast<DWORD>(longs.size());
        longs.push_back(low);
        longs.push_back(high);
        return Words(T(EntryType::CaseRange), Append(target), r);
    }
    EntryDescriptor Default(EntryDescriptor target)
    {
        return Words(T(EntryType::CaseDefault), Append(target), 0);
    }
    EntryDescriptor Match(const std::string& text, EntryDescriptor target)
    {
        DWORD offset = static_cast<DWORD>(matches.size());
        matches.insert(matches.end(), text.begin(), text.end());
        DWORD candidate = Append(
            Words(T(EntryType::Bytes), offset, TagCount(0, static_cast<DWORD>(text.size()))));
        return Words(T(EntryType::CaseString), Append(target), candidate);
    }
    EntryDescriptor Masked(WORD setting, DWORD mask, const std::vector<EntryDescriptor>& labels)
    {
        DWORD header = Append(EntryDescriptor{});
        DWORD first = AppendBlock(labels);
        entries[header] = Words(T(EntryType::MaskHeader), first, mask);
        return Words(T(EntryType::SelectByMaskedSetting), header,
                     TagCount(setting, static_cast<DWORD>(labels.size())));
    }

    void Key(WORD id, EntryDescriptor tree)
    {
        keyIds.push_back(id);
        keyEntries.push_back(Append(tree));
    }

    const ModelTables* View()
    {
        view.EntryTable = entries.empty() ? nullptr : entries.data();
        view.EntryCount = static_cast<DWORD>(entries.size());
        view.KeyIds = keyIds.empty() ? nullptr : keyIds.data();
        view.KeyEntries = keyEntries.empty() ? nullptr : keyEntries.data();
        view.KeyCount = static_cast<DWORD>(keyIds.size());
        view.BytePool = bytes.empty() ? nullptr : bytes.data();
        view.BytePoolCount = static_cast<DWORD>(bytes.size());
        view.ShortPool = shorts.empty() ? nullptr : shorts.data();
        view.ShortPoolCount = static_cast<DWORD>(shorts.size());
        view.LongPool = longs.empty() ? nullptr : longs.data();
        view.LongPoolCount = static_cast<DWORD>(longs.size());
        view.MatchPool = matches.empty() ? nullptr : matches.data();
        view.MatchPoolCount = static_cast<DWORD>(matches.size());
        return &view;
    }
};

// Every test starts from fresh stand-ins and must leave no block and no
// printer handle behind, and never free or close what it does not own.
class StoreTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        UmReset();
        blocksAtStart_ = UmGlobalOutstanding();
    }
    void TearDown() override
    {
        SwapModelTables(nullptr);
        EXPECT_EQ(UmGlobalOutstanding(), blocksAtStart_) << "GlobalAlloc block left behind";
        EXPECT_EQ(UmPrintersOpen(), 0u) << "printer handle left open";
        EXPECT_EQ(UmGlobalBadFrees(), 0u);
        EXPECT_EQ(UmPrinterBadCloses(), 0u);
    }
    void Use(TableBuilder& tables) { SwapModelTables(tables.View()); }

  private:
    unsigned long blocksAtStart_ = 0;
};

inline std::string Narrow(const void* wide, size_t maxUnits = 4096)
{
    std::string s;
    const BYTE* p = static_cast<const BYTE*>(wide);
    for (size_t i = 0; i < maxUnits; ++i) {
        unsigned unit = p[2 * i] | (p[2 * i + 1] << 8);
        if (unit == 0)
            break;
        s.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return s;
}

inline std::u16string Wide(const std::string& s)
{
    return std::u16string(s.begin(), s.end());
}

inline const WCHAR* W(const std::u16string& s)
{
    return reinterpret_cast<const WCHAR*>(s.c_str());
}

// The answer's 32-bit values, read as the little-endian words they are.
inline std::vector<LONG> Longs(const BYTE* buffer, DWORD bytes)
{
    std::vector<LONG> values;
    for (DWORD i = 0; i + 4 <= bytes; i += 4)
        values.push_back(static_cast<LONG>(buffer[i] | (buffer[i + 1] << 8) |
                                           (buffer[i + 2] << 16) |
                                           (static_cast<DWORD>(buffer[i + 3]) << 24)));
    return values;
}

#endif
