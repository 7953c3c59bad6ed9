// The real driver image: format, subsystem, entry point, imports, sections and checksum.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return output;
    }
    std::array<char, 4096> chunk{};
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        output.append(chunk.data(), n);
    }
    pclose(pipe);
    return output;
}

std::string Objdump(const std::string& options) {
    return RunCommand(std::string(KS_OBJDUMP) + " " + options + " '" + KS_DRIVER_BINARY + "' 2>&1");
}

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

uint64_t HexField(const std::string& headers, const std::string& name) {
    std::smatch match;
    std::regex pattern("\\n" + name + "\\s+([0-9a-fA-F]+)");
    if (!std::regex_search(headers, match, pattern)) {
        ADD_FAILURE() << "no field " << name;
        return 0;
    }
    return std::stoull(match[1].str(), nullptr, 16);
}

TEST(DriverBinary, IsNativeX64ImageEnteredAtDriverEntry) {
    std::string headers = Objdump("-p");
    ASSERT_NE(headers.find("file format pei-x86-64"), std::string::npos) << headers;
    EXPECT_EQ(HexField(headers, "Magic"), 0x20bu) << "PE32+";
    EXPECT_NE(headers.find("(NT native)"), std::string::npos);
    EXPECT_EQ(HexField(headers, "Subsystem"), 1u);

    // The entry point is DriverEntry itself, not a runtime start-up routine.
    uint64_t imageBase = HexField(headers, "ImageBase");
    uint64_t entry = HexField(headers, "AddressOfEntryPoint");
    std::string symbols = RunCommand(std::string(KS_NM) + " '" + KS_DRIVER_BINARY + "' 2>&1");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(symbols, match, std::regex("([0-9a-f]+) T DriverEntry\\n")))
        << "DriverEntry not in the symbol table";
    EXPECT_EQ(imageBase + entry, std::stoull(match[1].str(), nullptr, 16));
}

TEST(DriverBinary, ImportsOnlyFromKernelHalAndUsbd) {
    std::string headers = Objdump("-p");
    std::regex dllName("DLL Name: (\\S+)");
    std::set<std::string> dlls;
    for (auto it = std::sregex_iterator(headers.begin(), headers.end(), dllName);
         it != std::sregex_iterator(); ++it) {
        dlls.insert(Lower((*it)[1].str()));
    }
    ASSERT_FALSE(dlls.empty());
    EXPECT_TRUE(dlls.count("ntoskrnl.exe"));
    for (const std::string& dll : dlls) {
        EXPECT_TRUE(dll == "ntoskrnl.exe" || dll == "hal.dll" || dll == "usbd.sys")
            << "unexpected import from " << dll;
    }
    // Nothing of a user-mode runtime slipped in.
    for (const char* name : {"malloc", "free", "printf", "__chkstk", "___chkstk_ms", "_assert"}) {
        EXPECT_EQ(headers.find(std::string(" ") + name + "\n"), std::string::npos) << name;
    }
}

TEST(DriverBinary, NoSectionIsBothWritableAndExecutable) {
    std::string sections = Objdump("-h");
    std::istringstream lines(sections);
    std::string line;
    std::string name;
    int checked = 0;
    std::regex header("^\\s+\\d+\\s+(\\S+)\\s");
    while (std::getline(lines, line)) {
        std::smatch match;
        if (std::regex_search(line, match, header)) {
            name = match[1].str();
            continue;
        }
        if (!name.empty() && line.find("ALLOC") != std::string::npos) {
            bool code = line.find("CODE") != std::string::npos;
            bool readOnly = line.find("READONLY") != std::string::npos;
            EXPECT_FALSE(code && !readOnly) << name << " is writable and executable";
            ++checked;
            name.clear();
        }
    }
    EXPECT_GE(checked, 2);
    // The image opts in to no-execute data and address randomisation.
    uint64_t characteristics = HexField(Objdump("-p"), "DllCharacteristics");
    EXPECT_TRUE(characteristics & 0x0100) << "NX_COMPAT";
    EXPECT_TRUE(characteristics & 0x0040) << "DYNAMIC_BASE";
}

TEST(DriverBinary, CarriesAValidImageChecksum) {
    std::ifstream file(KS_DRIVER_BINARY, std::ios::binary);
    std::vector<unsigned char> data((std::istreambuf_iterator<char>(file)),
                                    std::istreambuf_iterator<char>());
    ASSERT_GT(data.size(), 0x200u);
    auto read32 = [&](size_t at) {
        return uint32_t(data[at]) | uint32_t(data[at + 1]) << 8 | uint32_t(data[at + 2]) << 16 |
               uint32_t(data[at + 3]) << 24;
    };
    size_t checksumOffset = read32(0x3C) + 4 + 20 + 64;
    uint32_t stored = read32(checksumOffset);
    uint64_t sum = 0;
    for (size_t at = 0; at < data.size(); at += 2) {
        if (at >= checksumOffset && at < checksumOffset + 4) {
            continue;
        }
        uint32_t word = data[at] | (at + 1 < data.size() ? data[at + 1] << 8 : 0);
        sum += word;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    EXPECT_NE(stored, 0u);
    EXPECT_EQ(stored, uint32_t(sum + data.size()));
}

}  // namespace
