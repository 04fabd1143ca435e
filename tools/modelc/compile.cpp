// Parser, checker and packer of the model source. See modeldb/tables/FORMAT.md.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <set>
#include <sstream>

#include "modelc.h"
#include "modelformat.h"

namespace modelc
{
namespace
{

// Entry type numbers of the packed format (modelformat.h).
constexpr uint32_t TypeNumber(EntryType type)
{
    return static_cast<uint32_t>(type);
}

// Names the model source may write instead of numbers (modelformat.h).
struct KnownName {
    const char* name;
    uint32_t number;
};
#define PRN_KNOWN_NAME(name, number) {#name, number},
const KnownName kBuilderNames[] = {PRN_BUILDER_NAMES(PRN_KNOWN_NAME)};
const KnownName kInternalIdNames[] = {PRN_INTERNAL_ID_NAMES(PRN_KNOWN_NAME)};
const KnownName kSettingNames[] = {PRN_SETTING_NAMES(PRN_KNOWN_NAME)};
const KnownName kKindNames[] = {PRN_DRIVER_ID_KINDS(PRN_KNOWN_NAME)};
const KnownName kDetailNames[] = {PRN_LIST_DETAILS(PRN_KNOWN_NAME)};
#undef PRN_KNOWN_NAME

const char* NameOfSetting(uint32_t number)
{
    for (const KnownName& k : kSettingNames)
        if (k.number == number)
            return k.name;
    return nullptr;
}

// Names of values are told apart without regard to case, as people type them.
std::string Lower(const std::string& text)
{
    std::string out = text;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

template <size_t N>
bool LookUpName(const KnownName (&names)[N], const std::string& name, uint32_t* number)
{
    for (const KnownName& k : names) {
        if (name == k.name) {
            *number = k.number;
            return true;
        }
    }
    return false;
}

// Nesting limit of a tree: the engine's walk depth.
const int kMaxNesting = static_cast<int>(MaxWalkDepth);

struct CompileError {
    std::string message;
};

struct Where {
    const std::string* file;
    int line;
};

[[noreturn]] void Fail(const Where& where, const std::string& message)
{
    throw CompileError{*where.file + ":" + std::to_string(where.line) + ": " + message};
}

// ---------------------------------------------------------------- lexer

enum class Tok { Name, Number, String, Punct, End };

struct Token {
    Tok kind;
    std::string text; // name, punctuation, or string bytes
    int64_t number = 0;
    int line = 0;
};

class Lexer
{
  public:
    Lexer(const SourceFile& file) : file_(file) {}

    std::vector<Token> Run()
    {
        std::vector<Token> tokens;
        for (;;) {
            SkipSpace();
            Token t;
            t.line = line_;
            if (pos_ >= file_.text.size()) {
                t.kind = Tok::End;
                tokens.push_back(t);
                return tokens;
            }
            char c = file_.text[pos_];
            if (std::isalpha(static_cast<unsigned char>(c)) || c == '_') {
                t.kind = Tok::Name;
                while (pos_ < file_.text.size() &&
                       (std::isalnum(static_cast<unsigned char>(file_.text[pos_])) ||
                        file_.text[pos_] == '_'))
                    t.text.push_back(file_.text[pos_++]);
            } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                       (c == '-' && pos_ + 1 < file_.text.size() &&
                        std::isdigit(static_cast<unsigned char>(file_.text[pos_ + 1])))) {
                t.kind = Tok::Number;
                t.number = ReadNumber();
            } else if (c == '"') {
                t.kind = Tok::String;
                t.text = ReadString();
            } else if (c == '.' && Peek(1) == '.') {
                t.kind = Tok::Punct;
                t.text = "..";
                pos_ += 2;
            } else if (std::string("{}[]:=,&@").find(c) != std::string::npos) {
                t.kind = Tok::Punct;
                t.text = std::string(1, c);
                ++pos_;
            } else {
                Fail(Here(), std::string("unexpected character '") + c + "'");
            }
            tokens.push_back(t);
        }
    }

  private:
    Where Here() const { return Where{&file_.name, line_}; }
    char Peek(size_t ahead) const
    {
        return pos_ + ahead < file_.text.size() ? file_.text[pos_ + ahead] : '\0';
    }

    void SkipSpace()
    {
        while (pos_ < file_.text.size()) {
            char c = file_.text[pos_];
            if (c == '\n') {
                ++line_;
                ++pos_;
            } else if (std::isspace(static_cast<unsigned char>(c))) {
                ++pos_;
            } else if (c == '#') {
                while (pos_ < file_.text.size() && file_.text[pos_] != '\n')
                    ++pos_;
            } else {
                return;
            }
        }
    }

    int64_t ReadNumber()
    {
        bool negative = false;
        if (file_.text[pos_] == '-') {
            negative = true;
            ++pos_;
        }
        int base = 10;
        if (file_.text[pos_] == '0' && (Peek(1) == 'x' || Peek(1) == 'X')) {
            base = 16;
            pos_ += 2;
        }
        size_t start = pos_;
        uint64_t value = 0;
        while (pos_ < file_.text.size() &&
               std::isxdigit(static_cast<unsigned char>(file_.text[pos_]))) {
            char c = file_.text[pos_];
            int digit = std::isdigit(static_cast<unsigned char>(c))
                            ? c - '0'
                            : std::tolower(static_cast<unsigned char>(c)) - 'a' + 10;
            if (digit >= base)
                Fail(Here(), "bad digit in number");
            value = value * base + digit;
            if (value > 0xFFFFFFFFFFull)
                Fail(Here(), "number out of range");
            ++pos_;
        }
        if (pos_ == start)
            Fail(Here(), "number without digits");
        if (pos_ < file_.text.size() &&
            (std::isalpha(static_cast<unsigned char>(file_.text[pos_])) || file_.text[pos_] == '_'))
            Fail(Here(), "bad character after number");
        return negative ? -static_cast<int64_t>(value) : static_cast<int64_t>(value);
    }

    std::string ReadString()
    {
        ++pos_; // opening quote
        std::string bytes;
        for (;;) {
            if (pos_ >= file_.text.size() || file_.text[pos_] == '\n')
                Fail(Here(), "unterminated string");
            unsigned char c = static_cast<unsigned char>(file_.text[pos_++]);
            if (c == '"')
                return bytes;
            if (c >= 0x80 || c < 0x20)
                Fail(Here(), "non-ASCII character in string (write it as \\xHH)");
            if (c != '\\') {
                bytes.push_back(static_cast<char>(c));
                continue;
            }
            char e = pos_ < file_.text.size() ? file_.text[pos_++] : '\0';
            switch (e) {
            case 'n':
                bytes.push_back('\n');
                break;
            case 'r':
                bytes.push_back('\r');
                break;
            case 't':
                bytes.push_back('\t');
                break;
            case '0':
                bytes.push_back('\0');
                break;
            case '\\':
                bytes.push_back('\\');
                break;
            case '"':
                bytes.push_back('"');
                break;
            case 'x': {
                int value = 0;
                for (int i = 0; i < 2; ++i) {
                    char h = pos_ < file_.text.size() ? file_.text[pos_] : '\0';
                    if (!std::isxdigit(static_cast<unsigned char>(h)))
                        Fail(Here(), "\\x needs two hexadecimal digits");
                    value =
                        value * 16 + (std::isdigit(static_cast<unsigned char>(h))
                                          ? h - '0'
                                          : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
                    ++pos_;
                }
                bytes.push_back(static_cast<char>(value));
                break;
            }
            default:
                Fail(Here(), "unknown escape in string");
            }
        }
    }

    const SourceFile& file_;
    size_t pos_ = 0;
    int line_ = 1;
};

// ---------------------------------------------------------------- syntax tree

struct Node;

struct Label {
    enum Kind { Equals, Range, String, Default } kind;
    int64_t a = 0, b = 0;
    std::string text;
    Node* target = nullptr;
};

struct Node {
    enum Kind { Leaf, Seq, Filt, When, Sel, Mask, Str, PData, Locale, Ref } kind;
    Where where;
    uint32_t leafType = 0;
    uint32_t tag = 0;            // leaf id; setting, string index or value code of a selector
    std::vector<int64_t> values; // numeric leaves; builder id
    std::string bytes;           // bytes and text leaves
    uint32_t mask = 0;
    std::vector<Node*> children;
    std::vector<Label> labels;
    std::string refName;
};

struct Def {
    std::string name;
    Node* node;
    Where where;
};

struct KeyDecl {
    uint32_t id;
    Node* node;
    Where where;
};

struct IndexDecl {
    std::string name;
    std::vector<Node*> nodes;
    Where where;
};

struct ComposedDecl {
    uint32_t id;
    std::vector<Node*> parts;
    Where where;
};

struct ValuesDecl {
    uint32_t setting;
    std::vector<std::pair<uint32_t, int32_t>> values; // value, name id
    Where where;
};

// setting SETTING { VALUE: NAME ... }: names of a setting's values.
struct SettingDecl {
    uint32_t setting;
    std::vector<std::pair<int32_t, std::string>> values;
    Where where;
};

// offers SETTING = ID [when SETTING VALUE] | offers SETTING = [V ...]: what
// the tools check a job's setting against (the engine never reads it).
struct OfferDecl {
    uint32_t setting;
    uint32_t list = 0; // a Drv list id, 0 for fixed values
    std::vector<int32_t> values;
    bool conditional = false;
    uint32_t whenSetting = 0;
    int32_t whenValue = 0;
    Where where;
};

// about ID "TEXT": what a Drv id answers, for the people who ask.
struct AboutDecl {
    uint32_t id;
    std::string text;
    Where where;
};

struct RouteDecl {
    uint32_t id, kind, details, nameSetting, defaultPair;
    Where where;
    std::vector<uint32_t> rules; // an adjustment's rule lists, in order
};

struct MediaGroupDecl {
    std::vector<uint32_t> media;
    uint32_t dryTimeTenths, inkLimitPercent;
    Where where;
};

struct PrintModesDecl {
    std::string root;
    std::vector<uint32_t> keys;
    std::vector<uint32_t> resolutions;
    std::string colourTable;
    std::vector<std::string> modes;
    std::vector<Where> modePlaces;
    std::vector<MediaGroupDecl> groups;
    Where where;
};

// mediaclass CLASS = MEDIA [{ PAPER: MEDIA ... }]
struct MediaClassDecl {
    uint32_t mediaClass, media;
    std::vector<std::pair<uint32_t, uint32_t>> onPaper; // paper size, media
    Where where;
};

// mediaquality { MEDIA: QUALITY ... }
struct MediaQualityDecl {
    std::vector<std::pair<uint32_t, int32_t>> qualities;
    std::vector<Where> places;
    Where where;
};

struct Model {
    std::deque<Node> nodes;
    std::vector<MediaClassDecl> mediaClasses;
    std::vector<MediaQualityDecl> mediaQualities;
    std::vector<PrintModesDecl> printModes;
    std::map<std::string, Def> defs;
    std::vector<KeyDecl> keys;
    std::vector<IndexDecl> indexes;
    std::vector<ComposedDecl> composed;
    std::vector<ValuesDecl> valueLists;
    std::vector<SettingDecl> settings;
    std::vector<OfferDecl> offers;
    std::vector<AboutDecl> abouts;
    std::vector<RouteDecl> routes;
    std::deque<std::string> fileNames;
};

bool IsStatementKeyword(const Token& t)
{
    return t.kind == Tok::End ||
           (t.kind == Tok::Name &&
            (t.text == "def" || t.text == "key" || t.text == "index" || t.text == "composed" ||
             t.text == "values" || t.text == "route" || t.text == "printmodes" ||
             t.text == "mediaclass" || t.text == "mediaquality" || t.text == "setting" ||
             t.text == "offers" || t.text == "about"));
}

const std::set<std::string>& Keywords()
{
    static const std::set<std::string> words = {
        "def",        "key",          "index",    "text",   "bytes", "s8",
        "u8",         "s16",          "u16",      "int32",  "built", "seq",
        "filt",       "when",         "sel",      "mask",   "str",   "pdata",
        "locale",     "default",      "composed", "values", "route", "printmodes",
        "mediaclass", "mediaquality", "setting",  "offers", "about"};
    return words;
}

class Parser
{
  public:
    Parser(Model& model, const std::string* file, std::vector<Token> tokens)
        : model_(model), file_(file), tokens_(std::move(tokens))
    {
    }

    void Run()
    {
        while (Cur().kind != Tok::End) {
            const Token& t = Cur();
            if (t.kind == Tok::Name && t.text == "def")
                ParseDef();
            else if (t.kind == Tok::Name && t.text == "key")
                ParseKey();
            else if (t.kind == Tok::Name && t.text == "index")
                ParseIndex();
            else if (t.kind == Tok::Name && t.text == "composed")
                ParseComposed();
            else if (t.kind == Tok::Name && t.text == "values")
                ParseValues();
            else if (t.kind == Tok::Name && t.text == "route")
                ParseRoute();
            else if (t.kind == Tok::Name && t.text == "printmodes")
                ParsePrintModes();
            else if (t.kind == Tok::Name && t.text == "mediaclass")
                ParseMediaClass();
            else if (t.kind == Tok::Name && t.text == "mediaquality")
                ParseMediaQuality();
            else if (t.kind == Tok::Name && t.text == "setting")
                ParseSetting();
            else if (t.kind == Tok::Name && t.text == "offers")
                ParseOffers();
            else if (t.kind == Tok::Name && t.text == "about")
                ParseAbout();
            else
                Fail(At(t), "expected def, key, index, composed, values, route, printmodes, "
                            "mediaclass, mediaquality, setting, offers or about");
        }
    }

  private:
    const Token& Cur() const { return tokens_[pos_]; }
    Where At(const Token& t) const { return Where{file_, t.line}; }
    const Token& Next() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }

    bool IsPunct(const char* p) const { return Cur().kind == Tok::Punct && Cur().text == p; }

    void Expect(const char* p)
    {
        if (!IsPunct(p))
            Fail(At(Cur()), std::string("expected '") + p + "'");
        Next();
    }

    int64_t ExpectNumber(const char* what)
    {
        if (Cur().kind != Tok::Number)
            Fail(At(Cur()), std::string("expected ") + what);
        return Next().number;
    }

    uint32_t ExpectIn16(const char* what)
    {
        Where where = At(Cur());
        int64_t v = ExpectNumber(what);
        if (v < 0 || v > 0xFFFF)
            Fail(where, std::string(what) + " out of range 0..65535");
        return static_cast<uint32_t>(v);
    }

    // A request id: a number or the name of an internal id.
    uint32_t ExpectId(const char* what)
    {
        uint32_t n = 0;
        if (Cur().kind == Tok::Name) {
            if (!LookUpName(kInternalIdNames, Cur().text, &n))
                Fail(At(Cur()), "unknown id name '" + Cur().text + "'");
            Next();
            return n;
        }
        return ExpectIn16(what);
    }

    std::string ExpectName(const char* what)
    {
        if (Cur().kind != Tok::Name)
            Fail(At(Cur()), std::string("expected ") + what);
        return Next().text;
    }

    // "sN" or a setting's name: a setting number.
    uint32_t ExpectSetting()
    {
        const Token& t = Cur();
        uint32_t named = 0;
        if (t.kind == Tok::Name && LookUpName(kSettingNames, t.text, &named)) {
            Next();
            return named;
        }
        if (t.kind != Tok::Name || t.text.size() < 2 || t.text[0] != 's' ||
            t.text.find_first_not_of("0123456789", 1) != std::string::npos)
            Fail(At(t), "expected a setting (sN or a setting name)");
        if (t.text.size() > 7 || std::stol(t.text.substr(1)) > 0xFFFF)
            Fail(At(t), "setting number out of range 0..65535");
        uint32_t n = static_cast<uint32_t>(std::stol(t.text.substr(1)));
        Next();
        return n;
    }

    Node* NewNode(Node::Kind kind, const Token& at)
    {
        model_.nodes.push_back(Node{});
        Node* n = &model_.nodes.back();
        n->kind = kind;
        n->where = At(at);
        return n;
    }

    void ParseDef()
    {
        const Token& start = Next();
        std::string name = ExpectName("a name after def");
        if (Keywords().count(name))
            Fail(At(start), "'" + name + "' is a keyword");
        Expect("=");
        Node* node = ParseEntry(false);
        if (model_.defs.count(name))
            Fail(At(start), "def " + name + " given twice");
        model_.defs.emplace(name, Def{name, node, At(start)});
    }

    void ParseKey()
    {
        const Token& start = Next();
        std::vector<uint32_t> ids;
        ids.push_back(ExpectId("key id"));
        while (IsPunct(",")) {
            Next();
            ids.push_back(ExpectId("key id"));
        }
        Expect("=");
        Node* node = ParseEntry(false);
        for (uint32_t id : ids)
            model_.keys.push_back(KeyDecl{id, node, At(start)});
    }

    void ParseIndex()
    {
        const Token& start = Next();
        std::string name = ExpectName("a name after index");
        Expect("=");
        IndexDecl decl{name, {}, At(start)};
        while (!IsStatementKeyword(Cur()))
            decl.nodes.push_back(ParseEntry(false));
        if (decl.nodes.empty())
            Fail(At(start), "index " + name + " lists no entry");
        model_.indexes.push_back(decl);
    }

    // composed ID = ENTRY ENTRY ...: the pieces of a composed sequence, in order.
    void ParseComposed()
    {
        const Token& start = Next();
        ComposedDecl decl{ExpectIn16("composed id"), {}, At(start)};
        Expect("=");
        while (!IsStatementKeyword(Cur()))
            decl.parts.push_back(ParseEntry(false));
        if (decl.parts.empty())
            Fail(At(start), "composed " + std::to_string(decl.id) + " lists no piece");
        model_.composed.push_back(decl);
    }

    // values SETTING { VALUE: NAME_ID ... }: the values of a list setting in
    // list order, each with the id of its name.
    void ParseValues()
    {
        const Token& start = Next();
        ValuesDecl decl{ExpectSetting(), {}, At(start)};
        Expect("{");
        while (!IsPunct("}")) {
            const Token& at = Cur();
            uint32_t value = ExpectIn16("list value");
            Expect(":");
            int64_t name = ExpectNumber("a name id");
            if (name < INT32_MIN || name > INT32_MAX)
                Fail(At(at), "name id out of range");
            for (const auto& v : decl.values)
                if (v.first == value)
                    Fail(At(at), "value " + std::to_string(value) + " listed twice");
            decl.values.emplace_back(value, static_cast<int32_t>(name));
        }
        Next();
        if (decl.values.empty())
            Fail(At(start), "values list without a value");
        model_.valueLists.push_back(decl);
    }

    // setting NAME { VALUE: NAME ... }: what a named setting's values are
    // called, for the people who read and write them (xdbq, prnsim); the
    // engine never reads them.
    void ParseSetting()
    {
        const Token& start = Next();
        const Token& at = Cur();
        SettingDecl decl{ExpectSetting(), {}, At(start)};
        if (NameOfSetting(decl.setting) == nullptr)
            Fail(At(at), "setting " + std::to_string(decl.setting) +
                             " has no name (modelformat.h): only named settings name values");
        Expect("{");
        while (!IsPunct("}")) {
            const Token& v = Cur();
            int64_t value = ExpectNumber("a setting value");
            if (value < INT32_MIN || value > UINT32_MAX)
                Fail(At(v), "setting value out of range");
            Expect(":");
            std::string name = ExpectName("the name of the value");
            int32_t value32 = static_cast<int32_t>(static_cast<uint32_t>(value));
            for (const auto& named : decl.values) {
                if (named.first == value32)
                    Fail(At(v), "value " + std::to_string(value) + " named twice");
                if (Lower(named.second) == Lower(name))
                    Fail(At(v), "name " + name + " given to two values");
            }
            decl.values.emplace_back(value32, name);
        }
        Next();
        if (decl.values.empty())
            Fail(At(start), "setting without a named value");
        model_.settings.push_back(decl);
    }

    int32_t ExpectValue32(const char* what)
    {
        const Token& v = Cur();
        int64_t value = ExpectNumber(what);
        if (value < INT32_MIN || value > UINT32_MAX)
            Fail(At(v), std::string(what) + " out of range");
        return static_cast<int32_t>(static_cast<uint32_t>(value));
    }

    // offers SETTING = ID [when SETTING VALUE]: the Drv list whose items,
    // asked with the job's request, are the values the setting may take (only
    // where the other setting has that value); offers SETTING = [V ...]: the
    // values it may take whatever the request. For the tools that check a job
    // against the model; the engine never reads it.
    void ParseOffers()
    {
        const Token& start = Next();
        OfferDecl decl{ExpectSetting(), 0, {}, false, 0, 0, At(start)};
        Expect("=");
        if (IsPunct("[")) {
            Next();
            while (!IsPunct("]"))
                decl.values.push_back(ExpectValue32("a setting value"));
            Next();
            if (decl.values.empty())
                Fail(At(start), "offers without a value");
        } else {
            decl.list = ExpectIn16("a Drv list id");
            if (Cur().kind == Tok::Name && Cur().text == "when") {
                Next();
                decl.conditional = true;
                decl.whenSetting = ExpectSetting();
                decl.whenValue = ExpectValue32("a setting value");
            }
        }
        model_.offers.push_back(decl);
    }

    // about ID "TEXT": what a Drv id answers, in words (xdbq ids shows it).
    void ParseAbout()
    {
        const Token& start = Next();
        AboutDecl decl{ExpectIn16("a Drv id"), "", At(start)};
        if (Cur().kind != Tok::String)
            Fail(At(Cur()), "expected the text of about " + std::to_string(decl.id));
        decl.text = Next().text;
        for (char c : decl.text)
            if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20)
                Fail(At(start), "about text with a quote, backslash or control character");
        model_.abouts.push_back(decl);
    }

    uint32_t ExpectKnown(const KnownName* names, size_t count, const char* what)
    {
        const Token& t = Cur();
        if (t.kind == Tok::Name)
            for (size_t i = 0; i < count; ++i)
                if (t.text == names[i].name) {
                    Next();
                    return names[i].number;
                }
        Fail(At(t), std::string("expected ") + what);
    }

    // An id in a list of rule lists: a number or an internal id's name.
    static bool IsRuleId(const Token& t)
    {
        uint32_t n = 0;
        return t.kind == Tok::Number ||
               (t.kind == Tok::Name && LookUpName(kInternalIdNames, t.text, &n));
    }

    // route ID = KIND [names SETTING] [default ID] [details DETAILS] [rules ID...]
    void ParseRoute()
    {
        const Token& start = Next();
        RouteDecl decl{ExpectIn16("route id"),
                       0,
                       ListDetails::NoDetails,
                       NoRouteSetting,
                       NoRouteDefault,
                       At(start),
                       {}};
        Expect("=");
        decl.kind =
            ExpectKnown(kKindNames, sizeof(kKindNames) / sizeof(kKindNames[0]), "a kind of Drv id");
        if (decl.kind == DriverIdKind::Composed)
            Fail(At(start), "composed ids are routed by their composed statement");
        while (Cur().kind == Tok::Name && !IsStatementKeyword(Cur())) {
            std::string word = Next().text;
            if (word == "names")
                decl.nameSetting = ExpectSetting();
            else if (word == "default")
                decl.defaultPair = ExpectId("default pair id");
            else if (word == "details")
                decl.details = ExpectKnown(
                    kDetailNames, sizeof(kDetailNames) / sizeof(kDetailNames[0]), "list details");
            else if (word == "rules")
                while (IsRuleId(Cur()))
                    decl.rules.push_back(ExpectId("rule list id"));
            else
                Fail(At(start), "unknown route parameter '" + word + "'");
        }
        model_.routes.push_back(decl);
    }

    void ExpectWord(const char* word)
    {
        const Token& t = Cur();
        if (t.kind != Tok::Name || t.text != word)
            Fail(At(t), std::string("expected ") + word);
        Next();
    }

    // printmodes ROOT keys S S S S S S resolutions [R R R R] colours "TABLE"
    //   modes NAME... groups [MEDIA...] dry N ink N ...
    void ParsePrintModes()
    {
        const Token& start = Next();
        PrintModesDecl decl{ExpectName("the selection's def"), {}, {}, {}, {}, {}, {}, At(start)};
        ExpectWord("keys");
        for (int i = 0; i < 6; ++i)
            decl.keys.push_back(ExpectSetting());
        ExpectWord("resolutions");
        Expect("[");
        for (int i = 0; i < 4; ++i)
            decl.resolutions.push_back(ExpectIn16("resolution"));
        Expect("]");
        ExpectWord("colours");
        const Token& colours = Cur();
        if (colours.kind != Tok::String)
            Fail(At(colours), "expected the colour table's name");
        decl.colourTable = Next().text;
        if (decl.colourTable.empty() || decl.colourTable.size() > 15)
            Fail(At(colours), "colour table name of 1 to 15 characters expected");
        for (char c : decl.colourTable)
            if (c < 0x20 || c > 0x7E)
                Fail(At(colours), "colour table name with a character that cannot be printed");
        ExpectWord("modes");
        while (Cur().kind == Tok::Name && Cur().text != "groups") {
            decl.modePlaces.push_back(At(Cur()));
            decl.modes.push_back(Next().text);
        }
        ExpectWord("groups");
        while (IsPunct("[")) {
            MediaGroupDecl group{{}, 0, 0, At(Next())};
            while (!IsPunct("]"))
                group.media.push_back(ExpectIn16("media"));
            Next();
            if (group.media.empty())
                Fail(group.where, "media group without a media");
            ExpectWord("dry");
            group.dryTimeTenths = ExpectIn16("dry time");
            ExpectWord("ink");
            group.inkLimitPercent = ExpectIn16("ink limit");
            decl.groups.push_back(group);
        }
        if (decl.modes.empty() || decl.groups.empty())
            Fail(At(start), "printmodes needs modes and groups");
        model_.printModes.push_back(decl);
    }

    // mediaclass CLASS = MEDIA [{ PAPER: MEDIA ... }]: the media the media
    // override proposes for a class of the printer's report, and the media of
    // its own that the class has on some paper sizes.
    void ParseMediaClass()
    {
        const Token& start = Next();
        MediaClassDecl decl{ExpectIn16("media class"), 0, {}, At(start)};
        Expect("=");
        decl.media = ExpectIn16("media");
        if (IsPunct("{")) {
            Next();
            while (!IsPunct("}")) {
                const Token& at = Cur();
                uint32_t paper = ExpectIn16("paper size");
                Expect(":");
                uint32_t media = ExpectIn16("media");
                for (const auto& p : decl.onPaper)
                    if (p.first == paper)
                        Fail(At(at), "paper size " + std::to_string(paper) + " listed twice");
                decl.onPaper.emplace_back(paper, media);
            }
            Next();
        }
        model_.mediaClasses.push_back(decl);
    }

    // mediaquality { MEDIA: QUALITY ... }: the quality proposed with a media.
    void ParseMediaQuality()
    {
        const Token& start = Next();
        MediaQualityDecl decl{{}, {}, At(start)};
        Expect("{");
        while (!IsPunct("}")) {
            const Token& at = Cur();
            uint32_t media = ExpectIn16("media");
            Expect(":");
            int64_t quality = ExpectNumber("a quality");
            if (quality < INT32_MIN || quality > INT32_MAX)
                Fail(At(at), "quality out of range");
            for (const auto& q : decl.qualities)
                if (q.first == media)
                    Fail(At(at), "media " + std::to_string(media) + " listed twice");
            decl.qualities.emplace_back(media, static_cast<int32_t>(quality));
            decl.places.push_back(At(at));
        }
        Next();
        if (decl.qualities.empty())
            Fail(At(start), "mediaquality without a media");
        model_.mediaQualities.push_back(decl);
    }

    struct Nesting {
        Nesting(int& depth, const Where& where) : depth_(depth)
        {
            if (++depth_ > kMaxNesting)
                Fail(where, "entries nested deeper than " + std::to_string(kMaxNesting));
        }
        ~Nesting() { --depth_; }
        int& depth_;
    };

    Node* ParseEntry(bool inFilter)
    {
        const Token& t = Cur();
        Nesting nesting(depth_, At(t));
        if (t.kind != Tok::Name)
            Fail(At(t), "expected an entry");
        const std::string& w = t.text;
        if (w == "text" || w == "bytes" || w == "s8" || w == "u8" || w == "s16" || w == "u16" ||
            w == "int32" || w == "built")
            return ParseLeaf();
        if (w == "seq") {
            Node* n = NewNode(Node::Seq, Next());
            ParseChildren(n, false);
            return n;
        }
        if (w == "filt") {
            Node* n = NewNode(Node::Filt, Next());
            n->tag = ExpectSetting();
            ParseChildren(n, true);
            return n;
        }
        if (w == "when") {
            if (!inFilter)
                Fail(At(t), "when outside filt");
            Node* n = NewNode(Node::When, Next());
            n->tag = ExpectIn16("when value");
            ParseChildren(n, false);
            return n;
        }
        if (w == "sel" || w == "mask" || w == "pdata" || w == "locale" || w == "str") {
            Node::Kind kind = w == "sel"      ? Node::Sel
                              : w == "mask"   ? Node::Mask
                              : w == "pdata"  ? Node::PData
                              : w == "locale" ? Node::Locale
                                              : Node::Str;
            Node* n = NewNode(kind, Next());
            if (kind == Node::Sel || kind == Node::Mask)
                n->tag = ExpectSetting();
            if (kind == Node::Mask) {
                Expect("&");
                Where where = At(Cur());
                int64_t m = ExpectNumber("a mask");
                if (m < 0 || m > 0xFFFFFFFFll)
                    Fail(where, "mask out of range 0..0xFFFFFFFF");
                n->mask = static_cast<uint32_t>(m);
            }
            if (kind == Node::PData)
                n->tag = ExpectIn16("printer-data value code");
            if (kind == Node::Str)
                n->tag = ExpectIn16("string number");
            if (kind == Node::Locale)
                n->tag = LocaleSelectorTag;
            ParseLabels(n);
            return n;
        }
        if (Keywords().count(w))
            Fail(At(t), "'" + w + "' cannot start an entry");
        Node* n = NewNode(Node::Ref, Next());
        n->refName = w;
        return n;
    }

    void ParseChildren(Node* n, bool inFilter)
    {
        Expect("{");
        while (!IsPunct("}")) {
            if (Cur().kind == Tok::End)
                Fail(At(Cur()), "missing '}'");
            n->children.push_back(ParseEntry(inFilter));
        }
        Next();
        if (n->children.size() > 0xFFFF)
            Fail(n->where, "more than 65535 children");
    }

    void ParseLabels(Node* n)
    {
        Expect("{");
        bool sawDefault = false;
        while (!IsPunct("}")) {
            const Token& t = Cur();
            if (t.kind == Tok::End)
                Fail(At(t), "missing '}'");
            if (sawDefault)
                Fail(At(t), "label after default");
            Label label{};
            if (t.kind == Tok::Name && t.text == "default") {
                label.kind = Label::Default;
                sawDefault = true;
                Next();
            } else if (t.kind == Tok::String) {
                if (n->kind != Node::Str)
                    Fail(At(t), "string label outside str");
                label.kind = Label::String;
                label.text = Next().text;
                if (label.text.size() > 0xFFFF)
                    Fail(At(t), "match string longer than 65535");
            } else if (t.kind == Tok::Number) {
                if (n->kind == Node::Str)
                    Fail(At(t), "number label inside str");
                label.a = Next().number;
                if (IsPunct("..")) {
                    Next();
                    label.kind = Label::Range;
                    label.b = ExpectNumber("the upper bound of a range");
                    if (label.a < INT32_MIN || label.a > INT32_MAX || label.b < INT32_MIN ||
                        label.b > INT32_MAX)
                        Fail(At(t), "range bound out of the signed 32-bit range");
                    if (label.a > label.b)
                        Fail(At(t), "range with lower bound above upper bound");
                } else {
                    label.kind = Label::Equals;
                    if (label.a < INT32_MIN || label.a > 0xFFFFFFFFll)
                        Fail(At(t), "label value out of the 32-bit range");
                }
            } else {
                Fail(At(t), "expected a label");
            }
            Expect(":");
            label.target = ParseEntry(false);
            n->labels.push_back(label);
        }
        Next();
        if (n->labels.size() > 0xFFFF)
            Fail(n->where, "more than 65535 labels");
    }

    Node* ParseLeaf()
    {
        const Token& start = Next();
        Node* n = NewNode(Node::Leaf, start);
        const std::string& w = start.text;
        if (!IsPunct("@"))
            Fail(At(Cur()), "leaf without a tag (@ID)");
        Next();
        n->tag = ExpectId("tag");
        if (w == "text") {
            if (Cur().kind != Tok::String)
                Fail(At(Cur()), "expected the text");
            n->leafType = TypeNumber(EntryType::Text);
            n->bytes = Next().text;
            n->bytes.push_back('\0');
            if (n->bytes.size() > 0xFFFF)
                Fail(n->where, "text longer than 65534 characters");
            return n;
        }
        if (w == "built") {
            n->leafType = TypeNumber(EntryType::Built);
            uint32_t builder = 0;
            if (Cur().kind == Tok::Name) {
                if (!LookUpName(kBuilderNames, Cur().text, &builder))
                    Fail(At(Cur()), "unknown builder '" + Cur().text + "'");
                Next();
            } else {
                builder = ExpectIn16("builder id");
            }
            n->values.push_back(builder);
            return n;
        }
        struct Range {
            const char* word;
            uint32_t type;
            int64_t lo, hi;
        };
        static const Range ranges[] = {
            {"bytes", TypeNumber(EntryType::Bytes), 0, 255},
            {"s8", TypeNumber(EntryType::SignedBytes), -128, 127},
            {"u8", TypeNumber(EntryType::UnsignedBytes), 0, 255},
            {"s16", TypeNumber(EntryType::SignedShorts), -32768, 32767},
            {"u16", TypeNumber(EntryType::UnsignedShorts), 0, 65535},
            {"int32", TypeNumber(EntryType::Int32Array), INT32_MIN, INT32_MAX},
        };
        const Range* range = nullptr;
        for (const Range& r : ranges)
            if (w == r.word)
                range = &r;
        n->leafType = range->type;
        Expect("[");
        while (!IsPunct("]")) {
            const Token& t = Cur();
            if (t.kind == Tok::String && n->leafType == TypeNumber(EntryType::Bytes)) {
                for (char c : Next().text)
                    n->values.push_back(static_cast<unsigned char>(c));
                continue;
            }
            int64_t v = ExpectNumber("a value");
            if (v < range->lo || v > range->hi)
                Fail(At(t), "value " + std::to_string(v) + " out of range of " + w);
            n->values.push_back(v);
        }
        Next();
        if (n->values.size() > 0xFFFF)
            Fail(n->where, "more than 65535 values");
        if (n->leafType == TypeNumber(EntryType::Bytes)) {
            for (int64_t v : n->values)
                n->bytes.push_back(static_cast<char>(v));
            n->values.clear();
        }
        return n;
    }

    Model& model_;
    const std::string* file_;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    int depth_ = 0;
};

// ---------------------------------------------------------------- checks

// Checks every name below n and returns how deep the entries below n nest,
// the trees of the defs it names included.
int CheckReferences(Model& model, Node* n, std::vector<std::string>& stack,
                    std::map<std::string, int>& state, std::map<std::string, int>& heights)
{
    if (n->kind == Node::Ref) {
        auto def = model.defs.find(n->refName);
        if (def == model.defs.end())
            Fail(n->where, "undefined name " + n->refName);
        int& s = state[n->refName];
        if (s == 1) {
            std::string path;
            for (const std::string& name : stack)
                path += name + " -> ";
            Fail(def->second.where, "cycle of def references: " + path + n->refName);
        }
        if (s == 2)
            return heights[n->refName];
        s = 1;
        stack.push_back(n->refName);
        int height = CheckReferences(model, def->second.node, stack, state, heights);
        stack.pop_back();
        state[n->refName] = 2;
        heights[n->refName] = height;
        return height;
    }
    int below = 0;
    for (Node* c : n->children)
        below = std::max(below, CheckReferences(model, c, stack, state, heights));
    for (Label& l : n->labels)
        below = std::max(below, CheckReferences(model, l.target, stack, state, heights));
    if (below + 1 > kMaxNesting)
        Fail(n->where,
             "entries nested deeper than " + std::to_string(kMaxNesting) + " through defs");
    return below + 1;
}

// ---------------------------------------------------------------- packing

using Words = std::pair<uint32_t, uint32_t>;

class Packer
{
  public:
    Packer(Model& model, CompiledModel& out) : model_(model), out_(out) {}

    void Run()
    {
        std::map<uint32_t, Where> seen;
        for (const KeyDecl& k : model_.keys) {
            auto it = seen.find(k.id);
            if (it != seen.end())
                Fail(k.where, "key " + std::to_string(k.id) + " given twice (first at line " +
                                  std::to_string(it->second.line) + " of " + *it->second.file +
                                  ")");
            seen.emplace(k.id, k.where);
        }
        std::map<Node*, uint32_t> keyIndex;
        for (const KeyDecl& k : model_.keys) {
            auto it = keyIndex.find(k.node);
            uint32_t index = it != keyIndex.end() ? it->second : IndexOf(k.node);
            keyIndex[k.node] = index;
            out_.keys.emplace_back(static_cast<uint16_t>(k.id), index);
        }
        std::sort(out_.keys.begin(), out_.keys.end());
        for (const IndexDecl& d : model_.indexes) {
            IndexList list{d.name, {}};
            for (Node* n : d.nodes)
                list.entries.push_back(IndexOf(n));
            out_.indexLists.push_back(list);
        }
        // Defs that nothing references are still checked and packed, so that
        // a mistake in them does not wait until someone uses them.
        for (auto& def : model_.defs)
            DefIndex(def.first);
        PackDriverTables(seen);
        PackPrintModes();
        PackMediaTables();
        PackSettingNames();
        PackDrvIds(seen);
        PackOffers();
    }

    // ---- what the tools know of the Drv ids (model_names.cpp)

    // Whether a walk for `id` below n can reach a leaf of it; if so, adds the
    // settings the selections on the way read.
    bool Reads(const Node* n, uint32_t id, std::set<uint16_t>& settings)
    {
        switch (n->kind) {
        case Node::Leaf:
            return n->tag == id;
        case Node::Ref:
            return Reads(model_.defs.at(n->refName).node, id, settings);
        case Node::Filt: {
            bool any = false;
            for (const Node* c : n->children) {
                bool reaches = Reads(c, id, settings);
                if (reaches && c->kind == Node::When)
                    settings.insert(static_cast<uint16_t>(n->tag));
                any = any || reaches;
            }
            return any;
        }
        default: {
            bool any = false;
            for (const Node* c : n->children)
                any = Reads(c, id, settings) || any;
            for (const Label& l : n->labels)
                any = Reads(l.target, id, settings) || any;
            if (any && (n->kind == Node::Sel || n->kind == Node::Mask))
                settings.insert(static_cast<uint16_t>(n->tag));
            return any;
        }
        }
    }

    void ReadsOfKey(uint32_t id, std::set<uint16_t>& settings)
    {
        for (const KeyDecl& k : model_.keys)
            if (k.id == id)
                Reads(k.node, id, settings);
    }

    // Every Drv id with a key, a route or a composed sequence: how it is
    // answered, what it answers in words, and the settings its answer reads
    // (the selections of its tree; a list's also those of its default pair
    // and rule lists; a composed sequence's those of its pieces; the
    // print-mode record's its keys). Builders read settings of their own.
    void PackDrvIds(const std::map<uint32_t, Where>& keys)
    {
        std::map<uint32_t, DrvId> ids;
        for (const auto& key : keys)
            if (key.first >= 0x1001 && key.first <= 0x1FFF)
                ids[key.first].id = static_cast<uint16_t>(key.first);
        for (const DriverRoute& r : out_.routes)
            ids[r.id] = DrvId{r.id, r.kind, "", {}};
        for (auto& [number, info] : ids) {
            std::set<uint16_t> reads;
            ReadsOfKey(number, reads);
            for (const ComposedDecl& c : model_.composed)
                if (c.id == number)
                    for (const Node* part : c.parts)
                        Reads(part, InternalId::Piece, reads);
            for (const RouteDecl& r : model_.routes) {
                if (r.id != number)
                    continue;
                if (r.defaultPair != NoRouteDefault)
                    ReadsOfKey(r.defaultPair, reads);
                for (uint32_t rule : r.rules)
                    ReadsOfKey(rule, reads);
                if (r.kind == DriverIdKind::PrintModeRecord)
                    for (const PrintModesDecl& d : model_.printModes)
                        reads.insert(d.keys.begin(), d.keys.end());
            }
            info.reads.assign(reads.begin(), reads.end());
        }
        for (const AboutDecl& a : model_.abouts) {
            auto it = ids.find(a.id);
            if (it == ids.end())
                Fail(a.where, "about " + std::to_string(a.id) + ": no Drv id of that number");
            if (!it->second.about.empty())
                Fail(a.where, "about " + std::to_string(a.id) + " given twice");
            it->second.about = a.text;
        }
        for (auto& entry : ids)
            out_.drvIds.push_back(entry.second);
    }

    // A list offers a setting's values only through its items: it must be
    // one of the list kinds.
    void PackOffers()
    {
        for (const OfferDecl& o : model_.offers) {
            if (o.list != 0) {
                bool isList = false;
                for (const DriverRoute& r : out_.routes)
                    isList = isList || (r.id == o.list && (r.kind == DriverIdKind::EntryList ||
                                                           r.kind == DriverIdKind::ValueList ||
                                                           r.kind == DriverIdKind::QualityList));
                if (!isList)
                    Fail(o.where, "offers: " + std::to_string(o.list) + " is no list id");
            }
            out_.offers.push_back(SettingOffer{
                static_cast<uint16_t>(o.setting), static_cast<uint16_t>(o.list), o.values,
                o.conditional, static_cast<uint16_t>(o.whenSetting), o.whenValue});
        }
    }

    // Every named setting with the values the model knows of it: those of
    // its value list in list order, then those only its setting statement
    // names; each with its name where it has one.
    void PackSettingNames()
    {
        std::map<uint32_t, const SettingDecl*> decls;
        for (const SettingDecl& d : model_.settings)
            if (!decls.emplace(d.setting, &d).second)
                Fail(d.where, "names of setting " + std::to_string(d.setting) + " given twice");
        for (const KnownName& k : kSettingNames) {
            NamedSetting named{k.name, static_cast<uint16_t>(k.number), {}};
            const SettingDecl* decl = decls.count(k.number) ? decls[k.number] : nullptr;
            auto nameOf = [&](int32_t value) {
                if (decl)
                    for (const auto& v : decl->values)
                        if (v.first == value)
                            return v.second;
                return std::string();
            };
            for (const ValuesDecl& list : model_.valueLists)
                if (list.setting == k.number)
                    for (const auto& v : list.values)
                        named.values.emplace_back(static_cast<int32_t>(v.first),
                                                  nameOf(static_cast<int32_t>(v.first)));
            if (decl)
                for (const auto& v : decl->values) {
                    bool listed = false;
                    for (const auto& have : named.values)
                        listed = listed || have.first == v.first;
                    if (!listed)
                        named.values.push_back(v);
                }
            out_.settings.push_back(named);
        }
    }

    // The media override's tables: per class its paper rows first, then the
    // row for any paper, so that the first matching row decides. Every media
    // a class proposes must have its quality, or the proposal would never
    // be taken.
    void PackMediaTables()
    {
        if (model_.mediaQualities.size() > 1)
            Fail(model_.mediaQualities[1].where, "mediaquality given twice");
        out_.hasMediaTables = !model_.mediaClasses.empty() || !model_.mediaQualities.empty();
        std::map<uint32_t, int32_t> quality;
        for (const MediaQualityDecl& d : model_.mediaQualities)
            for (const auto& q : d.qualities) {
                quality.emplace(q.first, q.second);
                out_.mediaQualities.push_back(MediaQualityRecordRow{q.first, q.second});
            }
        std::map<uint32_t, Where> classes;
        for (const MediaClassDecl& c : model_.mediaClasses) {
            const std::string name = std::to_string(c.mediaClass);
            auto it = classes.find(c.mediaClass);
            if (it != classes.end())
                Fail(c.where,
                     "media class " + name + " given twice (first at " + Place(it->second) + ")");
            classes.emplace(c.mediaClass, c.where);
            auto needQuality = [&](uint32_t media) {
                if (!quality.count(media))
                    Fail(c.where, "media " + std::to_string(media) + " of class " + name +
                                      " has no mediaquality");
            };
            for (const auto& p : c.onPaper) {
                needQuality(p.second);
                out_.mediaClasses.push_back(
                    MediaClassRecordRow{c.mediaClass, static_cast<int32_t>(p.first), p.second});
            }
            needQuality(c.media);
            out_.mediaClasses.push_back(MediaClassRecordRow{c.mediaClass, AnyPaperSize, c.media});
        }
    }

    // The composed sequences, the value lists and the route of every Drv id
    // that is not answered by its key alone. Each must add up: one route per
    // id, a key where the route reads one and none where nothing would read
    // it, a values list for every setting a route names and a route for
    // every values list.
    void PackDriverTables(const std::map<uint32_t, Where>& keys)
    {
        out_.hasDriverTables =
            !model_.composed.empty() || !model_.valueLists.empty() || !model_.routes.empty();
        std::map<uint32_t, Where> routed;
        auto claim = [&](uint32_t id, const Where& where) {
            auto it = routed.find(id);
            if (it != routed.end())
                Fail(where, "Drv id " + std::to_string(id) + " routed twice (first at " +
                                Place(it->second) + ")");
            routed.emplace(id, where);
        };
        auto keyPlace = [&](uint32_t id) { return Place(keys.at(id)); };
        for (const ComposedDecl& c : model_.composed) {
            claim(c.id, c.where);
            if (keys.count(c.id))
                Fail(c.where, "composed " + std::to_string(c.id) + " also has a key (" +
                                  keyPlace(c.id) + ") that no request reaches");
            if (out_.composedParts.size() + c.parts.size() > 0xFFFF)
                Fail(c.where, "more than 65535 composed pieces");
            ComposedRow row{static_cast<uint16_t>(c.id),
                            static_cast<uint16_t>(out_.composedParts.size()),
                            static_cast<uint16_t>(c.parts.size())};
            for (Node* n : c.parts)
                out_.composedParts.push_back(IndexOf(n));
            out_.composedRows.push_back(row);
            out_.routes.push_back(DriverRoute{row.id, DriverIdKind::Composed,
                                              ListDetails::NoDetails, NoRouteSetting,
                                              NoRouteDefault, 0, 0});
        }
        std::map<uint32_t, const ValuesDecl*> valueLists;
        for (const ValuesDecl& v : model_.valueLists) {
            if (!valueLists.emplace(v.setting, &v).second)
                Fail(v.where, "values of setting " + std::to_string(v.setting) + " given twice");
            if (out_.values.size() + v.values.size() > 0xFFFF)
                Fail(v.where, "more than 65535 list values");
            out_.valueRows.push_back(ValueRow{static_cast<uint16_t>(v.setting),
                                              static_cast<uint16_t>(out_.values.size()),
                                              static_cast<uint16_t>(v.values.size())});
            for (const auto& value : v.values) {
                out_.values.push_back(static_cast<uint16_t>(value.first));
                out_.valueNames.push_back(value.second);
            }
        }
        std::set<uint32_t> named;
        for (const RouteDecl& r : model_.routes) {
            claim(r.id, r.where);
            const std::string id = std::to_string(r.id);
            bool readsKey =
                r.kind == DriverIdKind::EntryList || r.kind == DriverIdKind::QualityList;
            if (readsKey && !keys.count(r.id))
                Fail(r.where,
                     "route " + id + " reads its list from key " + id + ", which is missing");
            if (!readsKey && keys.count(r.id))
                Fail(r.where, "route " + id + " answers without its key; the key (" +
                                  keyPlace(r.id) + ") is never read");
            if (r.kind == DriverIdKind::ValueList && r.nameSetting == NoRouteSetting)
                Fail(r.where, "route " + id + " lists values but names no setting");
            if (r.nameSetting != NoRouteSetting) {
                if (!valueLists.count(r.nameSetting))
                    Fail(r.where, "route " + id + " names setting " +
                                      std::to_string(r.nameSetting) + ", which has no values");
                named.insert(r.nameSetting);
            }
            if (r.defaultPair != NoRouteDefault && !keys.count(r.defaultPair))
                Fail(r.where, "route " + id + ": default pair " + std::to_string(r.defaultPair) +
                                  " has no key");
            if (r.kind == DriverIdKind::Adjustment && r.rules.empty())
                Fail(r.where, "route " + id + " adjusts by no rule list");
            if (r.kind != DriverIdKind::Adjustment && !r.rules.empty())
                Fail(r.where, "route " + id + " has rules but is no Adjustment");
            if (out_.adjustmentRules.size() + r.rules.size() > 0xFFFF)
                Fail(r.where, "more than 65535 rule lists");
            uint16_t firstRule =
                r.rules.empty() ? 0 : static_cast<uint16_t>(out_.adjustmentRules.size());
            for (uint32_t rule : r.rules)
                out_.adjustmentRules.push_back(static_cast<uint16_t>(rule));
            out_.routes.push_back(
                DriverRoute{static_cast<uint16_t>(r.id), static_cast<uint8_t>(r.kind),
                            static_cast<uint8_t>(r.details), static_cast<uint16_t>(r.nameSetting),
                            static_cast<uint16_t>(r.defaultPair), firstRule,
                            static_cast<uint16_t>(r.rules.size())});
        }
        for (const ValuesDecl& v : model_.valueLists)
            if (!named.count(v.setting))
                Fail(v.where,
                     "values of setting " + std::to_string(v.setting) + " that no route names");
        std::sort(out_.routes.begin(), out_.routes.end(),
                  [](const DriverRoute& a, const DriverRoute& b) { return a.id < b.id; });
    }

    // The print-mode record rows: every path through the selection that
    // ends in one of the mode blocks, with the value of each key setting on
    // it. A selection on another setting takes its default (the record does
    // not depend on it); a key already fixed higher up takes the label it
    // matches; every combination must be reached once.
    struct PrintModeWalk {
        const PrintModesDecl* decl;
        std::map<uint32_t, int64_t> fixed;
        std::set<std::vector<int64_t>> seen;
        std::set<size_t> groupsReached;
    };

    bool IsKey(const PrintModesDecl& d, uint32_t setting)
    {
        return std::find(d.keys.begin(), d.keys.end(), setting) != d.keys.end();
    }

    static bool LabelMatches(const Label& l, int64_t v)
    {
        return l.kind == Label::Default || (l.kind == Label::Equals && l.a == v) ||
               (l.kind == Label::Range && l.a <= v && v <= l.b);
    }

    void EmitPrintModeRow(PrintModeWalk& w, size_t mode, const Where& where)
    {
        std::vector<int64_t> keys;
        for (uint32_t k : w.decl->keys) {
            auto it = w.fixed.find(k);
            if (it == w.fixed.end())
                Fail(where, "print mode reached without setting " + std::to_string(k));
            if (it->second < -32768 || it->second > 32767)
                Fail(where, "print-mode key out of the 16-bit range");
            keys.push_back(it->second);
        }
        if (!w.seen.insert(keys).second)
            Fail(where, "print-mode combination reached twice");
        int64_t media = w.fixed.at(SettingId::Media);
        size_t group = w.decl->groups.size();
        for (size_t g = 0; g < w.decl->groups.size() && group == w.decl->groups.size(); ++g)
            for (uint32_t m : w.decl->groups[g].media)
                if (m == media)
                    group = g;
        if (group == w.decl->groups.size())
            Fail(w.decl->where, "media " + std::to_string(media) + " is in no print-mode group");
        w.groupsReached.insert(group);
        PrintModeRecordRow row{};
        for (int i = 0; i < 6; ++i)
            row.keys[i] = static_cast<int16_t>(keys[i]);
        row.mode = static_cast<uint16_t>(mode);
        row.mediaGroup = static_cast<uint16_t>(group);
        out_.printModes.push_back(row);
    }

    void WalkPrintModes(PrintModeWalk& w, const Node* n)
    {
        const PrintModesDecl& d = *w.decl;
        if (n->kind == Node::Ref) {
            auto mode = std::find(d.modes.begin(), d.modes.end(), n->refName);
            if (mode != d.modes.end())
                return EmitPrintModeRow(w, mode - d.modes.begin(), n->where);
            return WalkPrintModes(w, model_.defs.at(n->refName).node);
        }
        if (n->kind != Node::Sel)
            Fail(n->where, "the print-mode selection holds only sel nodes and mode blocks");
        if (!IsKey(d, n->tag)) {
            for (const Label& l : n->labels)
                if (l.kind == Label::Default)
                    WalkPrintModes(w, l.target);
            return;
        }
        auto fixed = w.fixed.find(n->tag);
        if (fixed != w.fixed.end()) {
            for (const Label& l : n->labels)
                if (LabelMatches(l, fixed->second))
                    return WalkPrintModes(w, l.target);
            return;
        }
        for (size_t i = 0; i < n->labels.size(); ++i) {
            const Label& l = n->labels[i];
            if (l.kind == Label::Default || (l.kind == Label::Range && l.b - l.a > 0xFFFF))
                Fail(n->where, "a key of the print-mode selection needs values, not default");
            for (int64_t v = l.a; v <= (l.kind == Label::Range ? l.b : l.a); ++v) {
                bool earlier = false; // the first matching label decides
                for (size_t j = 0; j < i; ++j)
                    earlier = earlier || LabelMatches(n->labels[j], v);
                if (earlier)
                    continue;
                w.fixed[n->tag] = v;
                WalkPrintModes(w, l.target);
                w.fixed.erase(n->tag);
            }
        }
    }

    void CollectReferences(const Node* n, std::set<std::string>& names)
    {
        if (n->kind == Node::Ref) {
            if (names.insert(n->refName).second)
                CollectReferences(model_.defs.at(n->refName).node, names);
            return;
        }
        for (const Node* c : n->children)
            CollectReferences(c, names);
        for (const Label& l : n->labels)
            CollectReferences(l.target, names);
    }

    void PackPrintModes()
    {
        if (model_.printModes.size() > 1)
            Fail(model_.printModes[1].where, "printmodes given twice");
        out_.hasPrintModes = !model_.printModes.empty();
        for (const PrintModesDecl& d : model_.printModes) {
            if (!model_.defs.count(d.root))
                Fail(d.where, "undefined name " + d.root);
            if (!IsKey(d, SettingId::Media))
                Fail(d.where, "the media setting must be one of the print-mode keys");
            for (const std::string& m : d.modes)
                if (!model_.defs.count(m))
                    Fail(d.where, "undefined name " + m);
            ValidateMediaGroups(d);
            PrintModeWalk w{&d, {}, {}, {}};
            WalkPrintModes(w, model_.defs.at(d.root).node);
            std::set<std::string> reached;
            CollectReferences(model_.defs.at(d.root).node, reached);
            for (const std::string& m : d.modes)
                if (!reached.count(m))
                    Fail(d.where, "mode " + m + " that the selection never reaches");
            for (size_t g = 0; g < d.groups.size(); ++g)
                if (!w.groupsReached.count(g))
                    Fail(d.groups[g].where,
                         "media group " + std::to_string(g) + " that no print mode reaches");
            for (size_t i = 0; i < 6; ++i)
                out_.printModeKeys[i] = static_cast<uint16_t>(d.keys[i]);
            PackModeParameters(d);
            for (size_t g = 0; g < d.groups.size(); ++g)
                out_.mediaGroups.push_back(MediaGroupRow{
                    static_cast<uint16_t>(g), static_cast<uint16_t>(d.groups[g].media[0]),
                    static_cast<uint16_t>(d.groups[g].dryTimeTenths),
                    static_cast<uint16_t>(d.groups[g].inkLimitPercent)});
        }
    }

    // A media may stand in one group only; the group's first media names it
    // in the record.
    void ValidateMediaGroups(const PrintModesDecl& d)
    {
        std::map<uint32_t, size_t> groupOf;
        for (size_t g = 0; g < d.groups.size(); ++g)
            for (uint32_t m : d.groups[g].media)
                if (!groupOf.emplace(m, g).second)
                    Fail(d.groups[g].where, "media " + std::to_string(m) + " in two groups");
        if (d.groups.size() > 0xFFFF || d.modes.size() > 0xFFFF)
            Fail(d.where, "more than 65535 print modes or media groups");
    }

    // The data of the first ESC ( LETTER command of a block written as a run
    // of ESC ( commands (ESC ( LETTER, two length bytes, low first, data).
    static bool FindEscParenData(const std::string& block, char letter, std::string* data,
                                 bool* wellFormed)
    {
        *wellFormed = true;
        for (size_t at = 0; at < block.size();) {
            if (block.size() - at < 5 || block[at] != 0x1B || block[at + 1] != '(') {
                *wellFormed = false;
                return false;
            }
            size_t length = static_cast<uint8_t>(block[at + 3]) |
                            static_cast<size_t>(static_cast<uint8_t>(block[at + 4])) << 8;
            if (block.size() - at - 5 < length) {
                *wellFormed = false;
                return false;
            }
            if (block[at + 2] == letter) {
                *data = block.substr(at + 5, length);
                return true;
            }
            at += 5 + length;
        }
        return false;
    }

    // One parameter row per mode block, in the order of `modes`: its place
    // from 1, the data of its ESC ( c, and its ESC ( t pattern numbered from
    // 1 in the order the patterns first appear in `modes`.
    void PackModeParameters(const PrintModesDecl& d)
    {
        std::set<std::string> named;
        std::vector<std::string> patterns;
        for (size_t i = 0; i < d.modes.size(); ++i) {
            const std::string& name = d.modes[i];
            const Where& where = d.modePlaces[i];
            if (!named.insert(name).second)
                Fail(where, "mode " + name + " listed twice");
            const Node* block = model_.defs.at(name).node;
            if (block->kind != Node::Leaf || block->leafType != TypeNumber(EntryType::Bytes))
                Fail(where, "mode " + name + " is not a bytes block");
            std::string modeBytes, pattern;
            bool wellFormed = true;
            if (!FindEscParenData(block->bytes, 'c', &modeBytes, &wellFormed) && wellFormed)
                Fail(where, "mode " + name + " has no ESC ( c");
            if (wellFormed && !FindEscParenData(block->bytes, 't', &pattern, &wellFormed) &&
                wellFormed)
                Fail(where, "mode " + name + " has no ESC ( t");
            if (!wellFormed)
                Fail(where, "mode " + name + " is not a run of ESC ( commands");
            if (modeBytes.size() != 3)
                Fail(where, "mode " + name + ": ESC ( c needs three data bytes");
            auto known = std::find(patterns.begin(), patterns.end(), pattern);
            if (known == patterns.end())
                known = patterns.insert(patterns.end(), pattern);
            if (patterns.size() > 0xFF)
                Fail(where, "more than 255 ESC ( t patterns");
            ModeParameterRow row{};
            row.block = static_cast<uint16_t>(i + 1);
            for (int b = 0; b < 3; ++b)
                row.modeBytes[b] = static_cast<uint8_t>(modeBytes[b]);
            row.pattern = static_cast<uint8_t>(known - patterns.begin() + 1);
            for (int r = 0; r < 4; ++r)
                row.resolutions[r] = static_cast<uint16_t>(d.resolutions[r]);
            row.colourTable = d.colourTable;
            out_.modeParameters.push_back(row);
        }
    }

    static std::string Place(const Where& where)
    {
        return *where.file + ":" + std::to_string(where.line);
    }

  private:
    uint32_t Reserve(size_t count, const Where& where)
    {
        size_t first = out_.entries.size();
        if (first + count > EntryOffsetLimit + 1ull)
            Fail(where, "entry table beyond 24-bit indices");
        out_.entries.resize(first + count, Words{0, 0});
        return static_cast<uint32_t>(first);
    }

    uint32_t DefIndex(const std::string& name)
    {
        auto it = defIndex_.find(name);
        if (it != defIndex_.end())
            return it->second;
        const Def& def = model_.defs.at(name);
        uint32_t index = Reserve(1, def.where);
        defIndex_[name] = index;
        out_.entries[index] = DefWords(name);
        return index;
    }

    Words DefWords(const std::string& name)
    {
        auto it = defWords_.find(name);
        if (it != defWords_.end())
            return it->second;
        Words w = Emit(model_.defs.at(name).node);
        defWords_[name] = w;
        return w;
    }

    uint32_t IndexOf(Node* n)
    {
        if (n->kind == Node::Ref)
            return DefIndex(n->refName);
        uint32_t index = Reserve(1, n->where);
        Words w = Emit(n);
        out_.entries[index] = w;
        return index;
    }

    static uint32_t Pack(uint32_t type, uint32_t offset)
    {
        return PackTypeOffset(static_cast<EntryType>(type), offset);
    }
    static uint32_t Pack16(uint32_t tag, size_t count)
    {
        return PackTagCount(tag, static_cast<uint32_t>(count));
    }

    template <typename T>
    uint32_t Intern(std::vector<T>& pool, std::map<std::vector<T>, uint32_t>& seen,
                    const std::vector<T>& values, const Where& where)
    {
        auto it = seen.find(values);
        if (it != seen.end())
            return it->second;
        size_t offset = pool.size();
        if (offset + values.size() > EntryOffsetLimit + 1ull)
            Fail(where, "pool beyond 24-bit offsets");
        pool.insert(pool.end(), values.begin(), values.end());
        seen.emplace(values, static_cast<uint32_t>(offset));
        return static_cast<uint32_t>(offset);
    }

    uint32_t InternBytes(const std::string& bytes, const Where& where)
    {
        return Intern(out_.bytePool, bytes_, std::vector<uint8_t>(bytes.begin(), bytes.end()),
                      where);
    }

    Words EmitLeaf(Node* n)
    {
        uint32_t offset = 0;
        size_t count = 0;
        switch (n->leafType) {
        case TypeNumber(EntryType::Bytes):
        case TypeNumber(EntryType::Text):
            offset = InternBytes(n->bytes, n->where);
            count = n->bytes.size();
            break;
        case TypeNumber(EntryType::SignedBytes):
        case TypeNumber(EntryType::UnsignedBytes): {
            std::string bytes;
            for (int64_t v : n->values)
                bytes.push_back(static_cast<char>(static_cast<uint8_t>(v)));
            offset = InternBytes(bytes, n->where);
            count = bytes.size();
            break;
        }
        case TypeNumber(EntryType::SignedShorts):
        case TypeNumber(EntryType::UnsignedShorts): {
            std::vector<uint16_t> shorts;
            for (int64_t v : n->values)
                shorts.push_back(static_cast<uint16_t>(v));
            offset = Intern(out_.shortPool, shorts_, shorts, n->where);
            count = shorts.size();
            break;
        }
        case TypeNumber(EntryType::Int32Array): {
            std::vector<int32_t> longs;
            for (int64_t v : n->values)
                longs.push_back(static_cast<int32_t>(v));
            offset = Intern(out_.longPool, longs_, longs, n->where);
            count = longs.size();
            break;
        }
        case TypeNumber(EntryType::Built):
            return Words{Pack(TypeNumber(EntryType::Built), 0),
                         Pack16(n->tag, static_cast<size_t>(n->values[0]))};
        }
        return Words{Pack(n->leafType, offset), Pack16(n->tag, count)};
    }

    Words EmitChildren(Node* n, uint32_t type)
    {
        uint32_t first = Reserve(n->children.size(), n->where);
        for (size_t i = 0; i < n->children.size(); ++i) {
            Node* c = n->children[i];
            Words w = c->kind == Node::Ref ? DefWords(c->refName) : Emit(c);
            out_.entries[first + i] = w;
        }
        return Words{Pack(type, first), Pack16(n->tag, n->children.size())};
    }

    uint32_t MatchEntry(const std::string& text, const Where& where)
    {
        auto it = matchEntries_.find(text);
        if (it != matchEntries_.end())
            return it->second;
        uint32_t offset =
            Intern(out_.matchPool, matches_, std::vector<uint8_t>(text.begin(), text.end()), where);
        uint32_t index = Reserve(1, where);
        out_.entries[index] =
            Words{Pack(TypeNumber(EntryType::Bytes), offset), Pack16(0, text.size())};
        matchEntries_[text] = index;
        return index;
    }

    void EmitLabels(Node* n, uint32_t first)
    {
        for (size_t i = 0; i < n->labels.size(); ++i) {
            Label& l = n->labels[i];
            uint32_t target = IndexOf(l.target);
            Words w{0, 0};
            switch (l.kind) {
            case Label::Equals:
                w = Words{Pack(TypeNumber(EntryType::CaseEquals), target),
                          static_cast<uint32_t>(l.a)};
                break;
            case Label::Range: {
                std::vector<int32_t> bounds{static_cast<int32_t>(l.a), static_cast<int32_t>(l.b)};
                uint32_t r = Intern(out_.longPool, longs_, bounds, n->where);
                w = Words{Pack(TypeNumber(EntryType::CaseRange), target), r};
                break;
            }
            case Label::String:
                w = Words{Pack(TypeNumber(EntryType::CaseString), target),
                          MatchEntry(l.text, n->where)};
                break;
            case Label::Default:
                w = Words{Pack(TypeNumber(EntryType::CaseDefault), target), 0};
                break;
            }
            out_.entries[first + i] = w;
        }
    }

    Words Emit(Node* n)
    {
        switch (n->kind) {
        case Node::Leaf:
            return EmitLeaf(n);
        case Node::Seq:
            return EmitChildren(n, TypeNumber(EntryType::Sequence));
        case Node::Filt:
            return EmitChildren(n, TypeNumber(EntryType::FilteredSequence));
        case Node::When:
            return EmitChildren(n, TypeNumber(EntryType::WhenSetting));
        case Node::Ref:
            return DefWords(n->refName);
        case Node::Mask: {
            uint32_t header = Reserve(1, n->where);
            uint32_t first = Reserve(n->labels.size(), n->where);
            out_.entries[header] = Words{Pack(TypeNumber(EntryType::MaskHeader), first), n->mask};
            EmitLabels(n, first);
            return Words{Pack(TypeNumber(EntryType::SelectByMaskedSetting), header),
                         Pack16(n->tag, n->labels.size())};
        }
        default: {
            uint32_t type = n->kind == Node::Sel     ? TypeNumber(EntryType::SelectBySetting)
                            : n->kind == Node::Str   ? TypeNumber(EntryType::SelectByString)
                            : n->kind == Node::PData ? TypeNumber(EntryType::SelectByPrinterData)
                                                     : TypeNumber(EntryType::SelectByLocale);
            uint32_t first = Reserve(n->labels.size(), n->where);
            EmitLabels(n, first);
            return Words{Pack(type, first), Pack16(n->tag, n->labels.size())};
        }
        }
    }

    Model& model_;
    CompiledModel& out_;
    std::map<std::string, uint32_t> defIndex_;
    std::map<std::string, Words> defWords_;
    std::map<std::string, uint32_t> matchEntries_;
    std::map<std::vector<uint8_t>, uint32_t> bytes_;
    std::map<std::vector<uint8_t>, uint32_t> matches_;
    std::map<std::vector<uint16_t>, uint32_t> shorts_;
    std::map<std::vector<int32_t>, uint32_t> longs_;
};

} // namespace

bool CompileModel(const std::vector<SourceFile>& sources, CompiledModel& out, std::string& error)
{
    out = CompiledModel{};
    Model model;
    try {
        for (const SourceFile& file : sources) {
            model.fileNames.push_back(file.name);
            Parser parser(model, &model.fileNames.back(), Lexer(file).Run());
            parser.Run();
        }
        std::map<std::string, int> state;
        std::map<std::string, int> heights;
        std::vector<std::string> stack;
        for (auto& def : model.defs) {
            Node ref{};
            ref.kind = Node::Ref;
            ref.where = def.second.where;
            ref.refName = def.first;
            CheckReferences(model, &ref, stack, state, heights);
        }
        for (KeyDecl& k : model.keys)
            CheckReferences(model, k.node, stack, state, heights);
        for (IndexDecl& d : model.indexes)
            for (Node* n : d.nodes)
                CheckReferences(model, n, stack, state, heights);
        for (ComposedDecl& c : model.composed)
            for (Node* n : c.parts)
                CheckReferences(model, n, stack, state, heights);
        std::set<std::string> indexNames;
        for (IndexDecl& d : model.indexes)
            if (!indexNames.insert(d.name).second)
                Fail(d.where, "index " + d.name + " given twice");
        Packer(model, out).Run();
    } catch (const CompileError& e) {
        error = e.message;
        out = CompiledModel{};
        return false;
    }
    return true;
}

namespace
{

template <typename T, typename F>
void EmitArray(std::ostringstream& s, const char* type, const char* name, const std::vector<T>& v,
               F format)
{
    if (v.empty())
        return;
    s << "const " << type << " " << name << "[] = {";
    for (size_t i = 0; i < v.size(); ++i) {
        if (i % 8 == 0)
            s << "\n    ";
        s << format(v[i]) << ",";
        if (i % 8 != 7 && i + 1 != v.size())
            s << " ";
    }
    s << "\n};\n\n";
}

std::string Hex(uint32_t v)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08Xu", v);
    return buf;
}

// The driver tables in their C++ form (drvtables.h); an empty one has no
// arrays.
void EmitDriverTables(std::ostringstream& s, const CompiledModel& m)
{
    s << "\nnamespace {\n\n";
    EmitArray(s, "ComposedSequenceRow", "kComposedRows", m.composedRows, [](const ComposedRow& r) {
        return "{" + std::to_string(r.id) + ", " + std::to_string(r.firstPart) + ", " +
               std::to_string(r.partCount) + "}";
    });
    EmitArray(s, "DWORD", "kComposedParts", m.composedParts,
              [](uint32_t v) { return std::to_string(v) + "u"; });
    std::vector<uint16_t> settings, firsts, counts;
    for (const ValueRow& r : m.valueRows) {
        settings.push_back(r.setting);
        firsts.push_back(r.firstValue);
        counts.push_back(r.valueCount);
    }
    auto word = [](uint16_t v) { return std::to_string(v); };
    EmitArray(s, "WORD", "kValueSettings", settings, word);
    EmitArray(s, "WORD", "kValueCounts", counts, word);
    EmitArray(s, "WORD", "kFirstValues", firsts, word);
    EmitArray(s, "WORD", "kValues", m.values, word);
    EmitArray(s, "LONG", "kValueNames", m.valueNames, [](int32_t v) {
        return v == INT32_MIN ? std::string("-2147483647 - 1") : std::to_string(v);
    });
    EmitArray(s, "DriverIdRow", "kDriverIds", m.routes, [](const DriverRoute& r) {
        return "{" + std::to_string(r.id) + ", " + std::to_string(r.kind) + ", " +
               std::to_string(r.details) + ", " + std::to_string(r.nameSetting) + ", " +
               std::to_string(r.defaultPair) + ", " + std::to_string(r.firstRule) + ", " +
               std::to_string(r.ruleCount) + "}";
    });
    EmitArray(s, "WORD", "kAdjustmentRules", m.adjustmentRules, word);
    s << "}  // namespace\n\n";
    auto array = [](bool present, const char* name) { return present ? name : "0"; };
    s << "extern const ComposedSequenceTable ComposedSequenceTableData = {\n    "
      << array(!m.composedRows.empty(), "kComposedRows") << ", " << m.composedRows.size() << "u, "
      << array(!m.composedParts.empty(), "kComposedParts") << ", " << m.composedParts.size()
      << "u,\n};\n";
    bool values = !m.valueRows.empty();
    s << "extern const SettingValueTable SettingValueTableData = {\n    "
      << array(values, "kValueSettings") << ", " << array(values, "kValueCounts") << ", "
      << array(values, "kFirstValues") << ", " << m.valueRows.size() << "u, "
      << array(values, "kValues") << ", " << array(values, "kValueNames") << ", " << m.values.size()
      << "u,\n};\n";
    s << "extern const DriverIdTable DriverIdTableData = {"
      << array(!m.routes.empty(), "kDriverIds") << ", " << m.routes.size() << "u, "
      << array(!m.adjustmentRules.empty(), "kAdjustmentRules") << ", " << m.adjustmentRules.size()
      << "u};\n";
}

std::string Numbers(const uint16_t* v, size_t n)
{
    std::string t = "{";
    for (size_t i = 0; i < n; ++i)
        t += (i ? ", " : "") + std::to_string(v[i]);
    return t + "}";
}

void EmitPrintModes(std::ostringstream& s, const CompiledModel& m)
{
    s << "\nnamespace {\n\n";
    EmitArray(s, "PrintModeRow", "kPrintModeRows", m.printModes, [](const PrintModeRecordRow& r) {
        std::string t = "{{";
        for (int i = 0; i < 6; ++i)
            t += (i ? ", " : "") + std::to_string(r.keys[i]);
        return t + "}, " + std::to_string(r.mode) + ", " + std::to_string(r.mediaGroup) + "}";
    });
    EmitArray(s, "PrintModeParameters", "kModeParameters", m.modeParameters,
              [](const ModeParameterRow& r) {
                  std::string t = "{" + std::to_string(r.block) + ", {";
                  for (int i = 0; i < 3; ++i)
                      t += (i ? ", " : "") + std::to_string(r.modeBytes[i]);
                  t += "}, " + std::to_string(r.pattern) + ", " + Numbers(r.resolutions, 4) +
                       ", 0, {";
                  for (size_t i = 0; i < r.colourTable.size(); ++i)
                      t += (i ? ", " : "") + std::to_string(r.colourTable[i]);
                  return t + "}, {0}}";
              });
    EmitArray(s, "MediaGroupParameters", "kMediaGroupParameters", m.mediaGroups,
              [](const MediaGroupRow& r) {
                  return "{" + std::to_string(r.group) + ", " + std::to_string(r.media) + ", " +
                         std::to_string(r.dryTimeTenths) + ", " +
                         std::to_string(r.inkLimitPercent) + ", {0}}";
              });
    s << "}  // namespace\n\n";
    auto array = [](bool present, const char* name) { return present ? name : "0"; };
    s << "extern const PrintModeTable PrintModeTableData = {\n    " << Numbers(m.printModeKeys, 6)
      << ",\n    " << array(!m.printModes.empty(), "kPrintModeRows") << ", " << m.printModes.size()
      << "u, " << array(!m.modeParameters.empty(), "kModeParameters") << ", "
      << m.modeParameters.size() << "u, " << array(!m.mediaGroups.empty(), "kMediaGroupParameters")
      << ", " << m.mediaGroups.size() << "u,\n};\n";
}

void EmitMediaTables(std::ostringstream& s, const CompiledModel& m)
{
    s << "\nnamespace {\n\n";
    EmitArray(s, "MediaClassRow", "kMediaClasses", m.mediaClasses,
              [](const MediaClassRecordRow& r) {
                  return "{" + std::to_string(r.mediaClass) + ", " + std::to_string(r.paperSize) +
                         ", " + std::to_string(r.media) + "}";
              });
    EmitArray(s, "MediaQualityRow", "kMediaQualities", m.mediaQualities,
              [](const MediaQualityRecordRow& r) {
                  return "{" + std::to_string(r.media) + ", " +
                         (r.quality == INT32_MIN ? std::string("-2147483647 - 1")
                                                 : std::to_string(r.quality)) +
                         "}";
              });
    s << "}  // namespace\n\n";
    s << "extern const MediaOverrideTable MediaOverrideTableData = {"
      << (m.mediaClasses.empty() ? "0" : "kMediaClasses") << ", " << m.mediaClasses.size() << "u, "
      << (m.mediaQualities.empty() ? "0" : "kMediaQualities") << ", " << m.mediaQualities.size()
      << "u};\n";
}

} // namespace

std::string EmitCpp(const CompiledModel& m, const std::vector<std::string>& sourceNames,
                    const std::string& tableSetName)
{
    std::ostringstream s;
    s << "// Generated by modelc from the model source; do not edit.\n";
    for (const std::string& name : sourceNames)
        s << "//   " << name << "\n";
    s << "#include \"store.h\"\n";
    if (m.hasDriverTables || m.hasPrintModes || m.hasMediaTables)
        s << "#include \"drvtables.h\"\n";
    s << "\nnamespace {\n\n";
    EmitArray(s, "EntryDescriptor", "kEntryTable", m.entries,
              [](const Words& w) { return "{" + Hex(w.first) + ", " + Hex(w.second) + "}"; });
    std::vector<uint16_t> ids;
    std::vector<uint32_t> indexes;
    for (const auto& k : m.keys) {
        ids.push_back(k.first);
        indexes.push_back(k.second);
    }
    EmitArray(s, "WORD", "kKeyIds", ids, [](uint16_t v) { return std::to_string(v); });
    EmitArray(s, "DWORD", "kKeyEntries", indexes,
              [](uint32_t v) { return std::to_string(v) + "u"; });
    EmitArray(s, "BYTE", "kBytePool", m.bytePool, [](uint8_t v) { return std::to_string(v); });
    EmitArray(s, "WORD", "kShortPool", m.shortPool, [](uint16_t v) { return std::to_string(v); });
    EmitArray(s, "LONG", "kLongPool", m.longPool, [](int32_t v) {
        // The most negative value cannot be written as a literal.
        return v == INT32_MIN ? std::string("-2147483647 - 1") : std::to_string(v);
    });
    EmitArray(s, "BYTE", "kMatchPool", m.matchPool, [](uint8_t v) { return std::to_string(v); });
    s << "}  // namespace\n\n";
    auto table = [&s](bool present, const char* name, size_t count) {
        if (present)
            s << "    " << name << ", " << count << "u,\n";
        else
            s << "    0, 0u,\n";
    };
    s << "extern const ModelTables " << tableSetName << " = {\n";
    table(!m.entries.empty(), "kEntryTable", m.entries.size());
    if (m.keys.empty())
        s << "    0, 0, 0u,\n";
    else
        s << "    kKeyIds, kKeyEntries, " << m.keys.size() << "u,\n";
    table(!m.bytePool.empty(), "kBytePool", m.bytePool.size());
    table(!m.shortPool.empty(), "kShortPool", m.shortPool.size());
    table(!m.longPool.empty(), "kLongPool", m.longPool.size());
    table(!m.matchPool.empty(), "kMatchPool", m.matchPool.size());
    s << "};\n";
    if (m.hasDriverTables)
        EmitDriverTables(s, m);
    if (m.hasPrintModes)
        EmitPrintModes(s, m);
    if (m.hasMediaTables)
        EmitMediaTables(s, m);
    for (const IndexList& list : m.indexLists) {
        s << "\nextern const DWORD " << list.name << "[] = {";
        for (size_t i = 0; i < list.entries.size(); ++i)
            s << (i ? ", " : "") << list.entries[i] << "u";
        s << "};\nextern const DWORD " << list.name << "Count = " << list.entries.size() << "u;\n";
    }
    return s.str();
}

std::string EmitNamesCpp(const CompiledModel& m, const std::vector<std::string>& sourceNames)
{
    std::ostringstream s;
    s << "// Generated by modelc from the model source; do not edit.\n";
    for (const std::string& name : sourceNames)
        s << "//   " << name << "\n";
    s << "#include \"modelnames.h\"\n\nnamespace modelnames\n{\n\nnamespace\n{\n\n";
    std::vector<size_t> first;
    size_t count = 0;
    s << "const Value kValues[] = {\n";
    for (const NamedSetting& setting : m.settings) {
        first.push_back(count);
        for (const auto& v : setting.values) {
            std::string value = v.first == INT32_MIN ? "-2147483647 - 1" : std::to_string(v.first);
            s << "    {" << value << ", \"" << v.second << "\"},\n";
            count++;
        }
    }
    if (count == 0)
        s << "    {0, \"\"},\n";
    s << "};\n\n} // namespace\n\nconst Setting kSettings[] = {\n";
    for (size_t i = 0; i < m.settings.size(); i++)
        s << "    {\"" << m.settings[i].name << "\", " << m.settings[i].number << ", kValues + "
          << first[i] << ", " << m.settings[i].values.size() << "},\n";
    s << "};\nconst size_t kSettingCount = " << m.settings.size() << ";\n\n";

    // The Drv ids: the settings each reads, then the ids.
    s << "namespace\n{\n\nconst uint16_t kReads[] = {\n";
    size_t reads = 0;
    std::vector<size_t> firstRead;
    for (const DrvId& d : m.drvIds) {
        firstRead.push_back(reads);
        for (uint16_t setting : d.reads) {
            s << "    " << setting << ",\n";
            reads++;
        }
    }
    if (reads == 0)
        s << "    0,\n";
    s << "};\n\nconst int32_t kOfferValues[] = {\n";
    size_t offered = 0;
    std::vector<size_t> firstOffered;
    for (const SettingOffer& o : m.offers) {
        firstOffered.push_back(offered);
        for (int32_t v : o.values) {
            s << "    " << (v == INT32_MIN ? "-2147483647 - 1" : std::to_string(v)) << ",\n";
            offered++;
        }
    }
    if (offered == 0)
        s << "    0,\n";
    s << "};\n\n} // namespace\n\nconst DrvId kDrvIds[] = {\n";
    for (size_t i = 0; i < m.drvIds.size(); i++) {
        const DrvId& d = m.drvIds[i];
        s << "    {" << d.id << ", " << static_cast<int>(d.kind) << ", \"" << d.about
          << "\", kReads + " << firstRead[i] << ", " << d.reads.size() << "},\n";
    }
    if (m.drvIds.empty())
        s << "    {0, 0, \"\", kReads, 0},\n";
    s << "};\nconst size_t kDrvIdCount = " << m.drvIds.size() << ";\n\nconst Offer kOffers[] = {\n";
    for (size_t i = 0; i < m.offers.size(); i++) {
        const SettingOffer& o = m.offers[i];
        s << "    {" << o.setting << ", " << o.list << ", kOfferValues + " << firstOffered[i]
          << ", " << o.values.size() << ", " << (o.conditional ? "true" : "false") << ", "
          << o.whenSetting << ", " << o.whenValue << "},\n";
    }
    if (m.offers.empty())
        s << "    {0, 0, kOfferValues, 0, false, 0, 0},\n";
    s << "};\nconst size_t kOfferCount = " << m.offers.size() << ";\n\n} // namespace modelnames\n";
    return s.str();
}

} // namespace modelc
