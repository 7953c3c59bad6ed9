// The rest of the driver package in dist/: kestrunectl.exe, a self-contained x64 console program,
// and kestrune.inf, whose models name the maker's products.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>

namespace {

std::string RunCommand(const std::string& command) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return output;
    std::array<char, 4096> chunk{};
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
        output.append(chunk.data(), n);
    pclose(pipe);
    return output;
}

TEST(PackageBinary, KestrunectlIsAnX64ConsoleProgramNeedingOnlySystemDlls) {
    std::string headers =
        RunCommand(std::string(KS_OBJDUMP) + " -p '" KS_DIST "/kestrunectl.exe' 2>&1");
    ASSERT_NE(headers.find("file format pei-x86-64"), std::string::npos) << headers;
    EXPECT_NE(headers.find("(Windows CUI)"), std::string::npos) << "not a console program";
    std::set<std::string> dlls;
    std::regex dllName("DLL Name: (\\S+)");
    for (auto it = std::sregex_iterator(headers.begin(), headers.end(), dllName);
         it != std::sregex_iterator(); ++it) {
        std::string name = (*it)[1].str();
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        dlls.insert(name);
    }
    // The C++ runtime is linked in: no libstdc++, libgcc or winpthread DLL to ship with it.
    EXPECT_EQ(dlls, (std::set<std::string>{"kernel32.dll", "msvcrt.dll", "setupapi.dll"}));
}

TEST(PackageBinary, InfModelsAreWellFormedHardwareIdsOfTheMaker) {
    std::ifstream file(KS_DIST "/kestrune.inf");
    ASSERT_TRUE(file) << "no " KS_DIST "/kestrune.inf: build the win64 preset";
    std::stringstream text;
    text << file.rdbuf();
    std::string inf = text.str();
    size_t section = inf.find("[Instruments.NTamd64]\n");
    ASSERT_NE(section, std::string::npos);
    std::string models = inf.substr(section, inf.find("\n[", section + 1) - section);
    char vendor[8];
    std::snprintf(vendor, sizeof vendor, "%04X", KESTRUNE_OWN_VENDOR_ID);
    std::regex line(
        "%DeviceDesc% = Kestrune_Install, USB\\\\VID_([0-9A-F]{4})&PID_([0-9A-F]{4})\n");
    std::set<std::string> products;
    size_t lines = 0;
    for (auto it = std::sregex_iterator(models.begin(), models.end(), line);
         it != std::sregex_iterator(); ++it, ++lines) {
        EXPECT_EQ((*it)[1].str(), vendor);
        EXPECT_TRUE(products.insert((*it)[2].str()).second) << "product listed twice";
    }
    EXPECT_GT(lines, 0u);
    size_t entries = 0;
    for (size_t at = models.find("%DeviceDesc%"); at != std::string::npos;
         at = models.find("%DeviceDesc%", at + 1))
        ++entries;
    EXPECT_EQ(entries, lines)
        << "a model line is not a hardware ID of the form USB\\VID_xxxx&PID_xxxx:\n"
        << models;
    EXPECT_EQ(inf.find('@'), std::string::npos) << "a setting was not filled in";
}

} // namespace
