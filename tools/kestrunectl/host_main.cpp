// kestrunectl on the host: runs the Windows program against a simulated PC, with the driver
// loaded into the kernel stand-in and instruments on the USB stand-in.
//
//   KESTRUNECTL_INSTRUMENTS  comma-separated product IDs of the maker's instruments to plug in,
//                            each optionally followed by ":noloop" (an instrument that keeps
//                            what it is sent) or ":slow" (one that refuses 65536-byte read
//                            chunks); default "0x0002", a loopback instrument with DOS name
//                            trelvousb1.
//
// The simulated PC lives as long as the process. Several invocations can share it: arguments
// separated by "--then" run one after the other, each shown as a command line first.
#include "simulated_pc.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

int KestrunectlMain(int argc, char** argv);

namespace {

std::vector<kswin32::app::InstrumentConfig> InstrumentsFromEnvironment(bool* ok) {
    std::vector<kswin32::app::InstrumentConfig> instruments;
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read once, before the simulated PC starts threads
    const char* text = std::getenv("KESTRUNECTL_INSTRUMENTS");
    std::string list = text && *text ? text : "0x0002";
    *ok = true;
    size_t start = 0;
    for (unsigned serial = 1; start <= list.size(); ++serial) {
        size_t end = list.find(',', start);
        std::string item = list.substr(start, end == std::string::npos ? end : end - start);
        start = end == std::string::npos ? list.size() + 1 : end + 1;
        kswin32::app::InstrumentConfig config;
        std::string id = item.substr(0, item.find(':'));
        char* rest = nullptr;
        unsigned long value = std::strtoul(id.c_str(), &rest, 0);
        if (id.empty() || *rest || value > 0xFFFF) {
            *ok = false;
            return {};
        }
        config.productId = static_cast<uint16_t>(value);
        config.loopback = item.find(":noloop") == std::string::npos;
        config.answersVendorProbe = item.find(":slow") == std::string::npos;
        std::string number = "KS000" + std::to_string(serial);
        config.serialNumber.assign(number.begin(), number.end());
        instruments.push_back(config);
    }
    return instruments;
}

} // namespace

int main(int argc, char** argv) {
    bool ok;
    std::vector<kswin32::app::InstrumentConfig> instruments = InstrumentsFromEnvironment(&ok);
    if (!ok) {
        std::fprintf(stderr, "kestrunectl: KESTRUNECTL_INSTRUMENTS lists product IDs, e.g. "
                             "0x0002,0x0003:noloop\n");
        return 2;
    }
    std::string error;
    auto pc = kswin32::app::SimulatedPc::Boot(KESTRUNE_DRIVER_PATH, instruments, &error);
    if (!pc) {
        std::fprintf(stderr, "kestrunectl: simulated PC: %s\n", error.c_str());
        return 3;
    }
    std::vector<std::vector<char*>> runs(1, {argv[0]});
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--then") == 0)
            runs.push_back({argv[0]});
        else
            runs.back().push_back(argv[i]);
    }
    int result = 0;
    for (std::vector<char*>& run : runs) {
        if (runs.size() > 1) {
            std::printf("$ kestrunectl");
            for (size_t i = 1; i < run.size(); ++i)
                std::printf(" %s", run[i]);
            std::printf("\n");
            std::fflush(stdout);
        }
        run.push_back(nullptr);
        result = KestrunectlMain(static_cast<int>(run.size() - 1), run.data());
        std::fflush(stdout);
        if (result != 0)
            break;
    }
    pc.reset();
    if (kswin32::app::SimulatedPc::VerifierFindings() != 0)
        return 70;
    return result;
}
