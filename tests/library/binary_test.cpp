// The real dist/ambrix.dll: machine, exports, imports (read with objdump) and the compiled
// dialog template (read from the PE resource section).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string Lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), ::tolower);
    return text;
}

bool DllPresent()
{
    std::ifstream dll(AMBRIX_DLL_PATH);
    return dll.good();
}

std::string ObjdumpPrivateHeaders()
{
    std::string command = std::string(AMBRIX_OBJDUMP) + " -p '" + AMBRIX_DLL_PATH + "'";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

struct Import {
    unsigned ordinal;
    std::string name;  // "<none>" when imported by ordinal
};

// DLL name (lower case) -> its imports, from the import table that objdump prints.
std::map<std::string, std::vector<Import>> ParseImports(const std::string& dump)
{
    std::map<std::string, std::vector<Import>> imports;
    std::istringstream lines(dump);
    std::string line, current;
    while (std::getline(lines, line)) {
        auto at = line.find("DLL Name: ");
        if (at != std::string::npos) {
            current = Lower(line.substr(at + 10));
            imports[current];
            continue;
        }
        if (line.empty() || line.find("vma:") != std::string::npos)
            continue;
        if (line.find("Export") != std::string::npos || line[0] != '\t')
            current.clear();
        if (current.empty())
            continue;
        std::istringstream fields(line);
        std::string vma, name;
        unsigned ordinal;
        if (fields >> vma >> ordinal >> name)
            imports[current].push_back({ordinal, name});
    }
    return imports;
}

std::vector<std::string> ParseExportNames(const std::string& dump)
{
    std::vector<std::string> names;
    auto at = dump.find("[Ordinal/Name Pointer] Table");
    if (at == std::string::npos)
        return names;
    std::istringstream lines(dump.substr(at));
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line) && !line.empty()) {
        auto close = line.find(']');
        if (close != std::string::npos)
            names.push_back(line.substr(line.find_first_not_of(' ', close + 1)));
    }
    return names;
}

class BinaryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(DllPresent()) << AMBRIX_DLL_PATH << " is missing: build the win32 preset first";
        dump_ = ObjdumpPrivateHeaders();
        ASSERT_FALSE(dump_.empty());
    }
    std::string dump_;
};

TEST_F(BinaryTest, ThirtyTwoBitDllWithExactlyTheTwoDecoratedExports)
{
    EXPECT_NE(dump_.find("file format pei-i386"), std::string::npos);
    EXPECT_NE(dump_.find("(PE32)"), std::string::npos);
    auto names = ParseExportNames(dump_);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"_D2xxXmodem@16", "_GetD2xxInstruments@12"}));
}

TEST_F(BinaryTest, ImportsAreTheSystemsAndD2xxByOrdinalOnly)
{
    auto imports = ParseImports(dump_);
    const std::set<std::string> allowed = {"kernel32.dll", "user32.dll", "comctl32.dll",
                                           "msvcrt.dll", "ftd2xx.dll"};
    for (const auto& entry : imports)
        EXPECT_TRUE(allowed.count(entry.first)) << "unexpected runtime dependency " << entry.first;

    ASSERT_TRUE(imports.count("ftd2xx.dll"));
    std::set<unsigned> ordinals;
    for (const auto& import : imports["ftd2xx.dll"]) {
        EXPECT_EQ(import.name, "<none>") << "imported by name from ftd2xx.dll";
        ordinals.insert(import.ordinal);
    }
    EXPECT_EQ(ordinals, (std::set<unsigned>{1, 2, 3, 4, 7, 8, 9, 11, 13, 15, 16, 17, 28, 61}));

    ASSERT_TRUE(imports.count("comctl32.dll"));
    ASSERT_EQ(imports["comctl32.dll"].size(), 1u);
    EXPECT_EQ(imports["comctl32.dll"][0].ordinal, 17u);
    EXPECT_EQ(imports["comctl32.dll"][0].name, "<none>");

    std::set<std::string> user32;
    for (const auto& import : imports["user32.dll"])
        user32.insert(import.name);
    for (const char* name : {"DialogBoxParamA", "EndDialog", "PostMessageA", "SendDlgItemMessageA",
                             "SendMessageA", "wsprintfA", "CharNextA"})
        EXPECT_TRUE(user32.count(name)) << name;
}

// Reads the PE image's resource data for a type and id.
class PeImage {
public:
    explicit PeImage(const std::string& path)
    {
        std::ifstream in(path, std::ios::binary);
        bytes_.assign(std::istreambuf_iterator<char>(in), {});
    }
    uint32_t U32(size_t at) const { return U16(at) | uint32_t(U16(at + 2)) << 16; }
    uint16_t U16(size_t at) const
    {
        return at + 2 <= bytes_.size() ? uint16_t(bytes_[at] | bytes_[at + 1] << 8) : 0;
    }
    // File offset of an RVA, through the section table.
    size_t Offset(uint32_t rva) const
    {
        size_t pe = U32(0x3C);
        size_t sections = pe + 24 + U16(pe + 20);
        for (unsigned i = 0; i < U16(pe + 6); ++i) {
            size_t s = sections + i * 40;
            uint32_t va = U32(s + 12), size = U32(s + 8), raw = U32(s + 20);
            if (rva >= va && rva < va + size)
                return raw + (rva - va);
        }
        return 0;
    }
    std::vector<uint8_t> Resource(uint16_t type, uint16_t id) const
    {
        size_t pe = U32(0x3C);
        uint32_t resourceRva = U32(pe + 24 + 96 + 2 * 8);  // data directory 2 of PE32
        size_t root = Offset(resourceRva);
        if (!root)
            return {};
        size_t dir = Entry(root, root, type);
        dir = dir ? Entry(root, dir, id) : 0;
        if (!dir)
            return {};
        // The first language.
        uint32_t target = U32(dir + 16 + 4);
        size_t data = root + (target & 0x7FFFFFFF);
        size_t at = Offset(U32(data));
        return std::vector<uint8_t>(bytes_.begin() + long(at), bytes_.begin() + long(at + U32(data + 4)));
    }

private:
    // The subdirectory that a numbered entry of a resource directory points to.
    size_t Entry(size_t root, size_t dir, uint16_t id) const
    {
        unsigned named = U16(dir + 12), numbered = U16(dir + 14);
        for (unsigned i = 0; i < named + numbered; ++i) {
            size_t e = dir + 16 + i * 8;
            if (U32(e) == id && (U32(e + 4) & 0x80000000))
                return root + (U32(e + 4) & 0x7FFFFFFF);
        }
        return 0;
    }
    std::vector<uint8_t> bytes_;
};

struct Fields {
    const std::vector<uint8_t>& data;
    size_t at = 0;
    uint16_t Word()
    {
        uint16_t v = at + 2 <= data.size() ? uint16_t(data[at] | data[at + 1] << 8) : 0xDEAD;
        at += 2;
        return v;
    }
    uint32_t Dword()
    {
        uint32_t low = Word();
        return low | uint32_t(Word()) << 16;
    }
    std::string Text()
    {
        std::string s;
        for (uint16_t c = Word(); c != 0 && at <= data.size(); c = Word())
            s.push_back(char(c));
        return s;
    }
    void Align() { at = (at + 3) & ~size_t(3); }
};

TEST_F(BinaryTest, DialogTemplateFieldByField)
{
    auto data = PeImage(AMBRIX_DLL_PATH).Resource(5, 101);
    ASSERT_FALSE(data.empty()) << "no dialog 101";
    Fields f{data};
    EXPECT_EQ(f.Dword(), 0x80C800C0u);  // WS_POPUP|WS_CAPTION|WS_SYSMENU|DS_MODALFRAME|DS_SETFONT
    EXPECT_EQ(f.Dword(), 0u);           // no extended style
    EXPECT_EQ(f.Word(), 3);             // controls
    EXPECT_EQ(f.Word(), 0);
    EXPECT_EQ(f.Word(), 0);
    EXPECT_EQ(f.Word(), 186);
    EXPECT_EQ(f.Word(), 71);
    EXPECT_EQ(f.Word(), 0);  // no menu
    EXPECT_EQ(f.Word(), 0);  // default class
    EXPECT_EQ(f.Text(), "XMODEM 1K over D2XX");
    EXPECT_EQ(f.Word(), 8);
    EXPECT_EQ(f.Text(), "MS Sans Serif");

    struct Control {
        uint32_t style;
        uint16_t x, y, cx, cy, id;
        uint16_t classOrdinal;  // 0 for a named class
        const char* className;
        const char* text;
    };
    const Control expected[] = {
        {0x50020001, 7, 8, 172, 10, 1000, 0x82, "static", "Static"},
        {0x50800000, 7, 26, 172, 15, 1001, 0, "msctls_progress32", "Progress1"},
        {0x50010000, 68, 50, 50, 14, 2, 0x80, "button", "Cancel"},
    };
    for (const auto& c : expected) {
        SCOPED_TRACE(c.text);
        f.Align();
        EXPECT_EQ(f.Dword(), c.style);
        EXPECT_EQ(f.Dword(), 0u);
        EXPECT_EQ(f.Word(), c.x);
        EXPECT_EQ(f.Word(), c.y);
        EXPECT_EQ(f.Word(), c.cx);
        EXPECT_EQ(f.Word(), c.cy);
        EXPECT_EQ(f.Word(), c.id);
        if (c.classOrdinal) {
            EXPECT_EQ(f.Word(), 0xFFFF);
            EXPECT_EQ(f.Word(), c.classOrdinal);
        } else {
            // Window class names compare without regard to case.
            EXPECT_EQ(Lower(f.Text()), c.className);
        }
        EXPECT_EQ(f.Text(), c.text);
        EXPECT_EQ(f.Word(), 0);  // no creation data
    }
    EXPECT_LE(f.at, data.size());
}

}  // namespace
