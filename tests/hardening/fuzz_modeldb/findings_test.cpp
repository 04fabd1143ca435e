// What the fuzzers found, fixed: models the compiler must refuse with their
// place, and models that compile yet must not send the engine round in
// circles.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "compiled_tables.h"
#include "modelc.h"
#include "prnmodel.h"
#include "store.h"
#include "um_control.h"

namespace
{

std::string Nested(const char* open, int depth, const char* leaf)
{
    std::string s = "key 2 = ";
    for (int i = 0; i < depth; ++i)
        s += open;
    s += leaf;
    s += std::string(depth, '}');
    return s + "\n";
}

std::string DefChain(int length)
{
    std::string s = "def D0 = s8 @2 [1]\n";
    for (int i = 1; i < length; ++i)
        s += "def D" + std::to_string(i) + " = seq { D" + std::to_string(i - 1) + " }\n";
    return s + "key 2 = D" + std::to_string(length - 1) + "\n";
}

std::string CompileError(const std::string& source)
{
    modelc::CompiledModel model;
    std::string error;
    bool ok = modelc::CompileModel({{"deep.model", source}}, model, error);
    return ok ? std::string() : error;
}

TEST(CompilerFindings, TreesDeeperThanTheEngineWalksAreRefusedWithTheirPlace)
{
    struct Case {
        const char* what;
        std::string source;
        const char* message; // empty: compiles
    };
    const Case cases[] = {
        {"deepest tree the engine answers", Nested("seq { ", 255, "s8 @2 [1]"), ""},
        {"one level more", Nested("seq { ", 256, "s8 @2 [1]"), "nested deeper than 256"},
        {"far beyond the parser's stack", Nested("seq{", 20000, "s8 @2[1]"),
         "deep.model:1: entries nested deeper than 256"},
        {"selectors count as levels", Nested("sel s0 { default: ", 300, "s8 @2 [1]"),
         "nested deeper than 256"},
        {"through a chain of defs", DefChain(300), "nested deeper than 256 through defs"},
        {"short chain of defs", DefChain(200), ""},
    };
    for (const Case& c : cases) {
        std::string error = CompileError(c.source);
        if (c.message[0] == '\0')
            EXPECT_EQ(error, "") << c.what;
        else
            EXPECT_NE(error.find(c.message), std::string::npos)
                << c.what << ": got \"" << error << "\"";
    }
}

// Runs the engine over a compiled model for one test.
class EngineFinding : public ::testing::Test
{
  protected:
    void Load(const std::string& source)
    {
        std::string error;
        ASSERT_TRUE(modelc::CompileModel({{"m.model", source}}, model_, error)) << error;
        SwapModelTables(tables_.From(model_));
    }
    void SetUp() override
    {
        UmReset();
        UmAddPrinter("p");
        UmSetPrinterDword("p", "x", 1);
        blocks_ = UmGlobalOutstanding();
    }
    void TearDown() override
    {
        SwapModelTables(nullptr);
        EXPECT_EQ(UmGlobalOutstanding(), blocks_);
        EXPECT_EQ(UmPrintersOpen(), 0u);
    }

    LONG Root(DWORD id, DWORD size = 64)
    {
        std::vector<LONG> settings(4, 0);
        DataBaseRequest request{};
        request.SettingCount = 4;
        request.Settings = settings.data();
        request.PrinterName = L"p";
        std::vector<BYTE> buffer(size);
        DWORD out = 0;
        return XDB_AccessRootDataBase(id, &request, size, buffer.data(), &out);
    }

    modelc::CompiledModel model_;
    CompiledTables tables_;
    unsigned long blocks_ = 0;
};

// Reading printer data looks the value name up under id 8: value names that
// depend on printer data, or are computed by a builder that reads it, used
// to recurse until the stack ran out.
TEST_F(EngineFinding, ValueNamesThatNeedPrinterDataFailInsteadOfRecursing)
{
    struct Case {
        const char* what;
        const char* source;
        DWORD id;
        LONG expected;
    };
    const Case cases[] = {
        {"value names by printer data, asked directly",
         "key 8 = pdata 153 { default: text @8 \"x\" }", 8, DB_FAILED},
        {"value names by printer data, asked by a selector",
         "key 8 = pdata 153 { default: text @8 \"x\" }\nkey 3 = pdata 1 { default: s8 @3 [1] }", 3,
         DB_OK},
        {"computed value name",
         "key 8 = built @8 7\nkey 3 = pdata 153 { 1: s8 @3 [1] default: s8 @3 [0] }", 3, DB_OK},
        {"computed value name read by the silent-mode builder",
         "key 8 = built @8 7\nkey 4 = built @4 7", 4, DB_OK},
        {"value names that do not depend on printer data still serve",
         "key 8 = sel s0 { 0: text @8 \"x\" }\nkey 3 = pdata 0 { 1: s8 @3 [1] }", 3, DB_OK},
        // The name's spare terminating unit must lie wholly inside its block
        // even when the entry answering the name has an odd byte count.
        {"value name of an odd number of bytes",
         "key 8 = sel s0 { 1: bytes @8 [0x78 0x00 0x79] }\nkey 3 = pdata 1 { 1: s8 @3 [1] "
         "default: s8 @3 [0] }",
         3, DB_OK},
    };
    for (const Case& c : cases) {
        SwapModelTables(nullptr);
        Load(c.source);
        EXPECT_EQ(Root(c.id), c.expected) << c.what;
    }
}

} // namespace
