// Demonstration of ambrix on the host: the instruments of a simulated set of FTDI devices as the
// host's combo box shows them, then a firmware download to lrzsz's rx over a pseudo-terminal.
//
//   ambrix_demo [firmware-file]      (without a file, 40000 bytes of sample data are sent)
#include <windows.h>
#include <commctrl.h>

#include "ambrix.h"
#include "d2xx_sim.h"
#include "peers.h"
#include "win32_sim.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" const unsigned char ambrixResources[];
extern "C" const size_t ambrixResourcesSize;

namespace {

const char* ResultName(DownloadResult result)
{
    switch (result) {
    case DownloadCompleted: return "DownloadCompleted";
    case DownloadFileError: return "DownloadFileError";
    case DownloadDeviceError: return "DownloadDeviceError";
    case DownloadUserCancelled: return "DownloadUserCancelled";
    case DownloadReceiverCancelled: return "DownloadReceiverCancelled";
    }
    return "unknown";
}

std::vector<uint8_t> ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

int main(int argc, char** argv)
{
    win32sim::LoadModule("ambrix.dll", ambrixResources, ambrixResourcesSize, DllMain);
    const DWORD vendor = AMBRIX_OWN_VENDOR_ID_FOR_DEMO;
    d2xxsim::AddDevice({0x0BDA8153, "A7X0Q1", "USB serial adapter (another maker)"});
    int instrument = d2xxsim::AddDevice({vendor << 16 | 0x0002, "TX000417", "Trelvo X1 Spectrometer"});
    d2xxsim::AddDevice({0x04036001, "", ""});
    d2xxsim::AddDevice({vendor << 16 | 0x0005, "TL000022", "Trelvo L5 Logger"});

    HWND box = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 200, 100,
                               nullptr, nullptr, nullptr, nullptr);
    int count = GetD2xxInstruments(box, 0, TRUE);
    std::printf("GetD2xxInstruments: %d D2XX devices attached; the combo box shows:\n", count);
    LRESULT entries = SendMessageA(box, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < entries; ++i) {
        char label[128] = {};
        SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(label));
        std::printf("  [%ld] %-40s device number %ld\n", static_cast<long>(i), label,
                    static_cast<long>(SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(i), 0)));
    }
    DestroyWindow(box);

    char dir[] = "/tmp/ambrix-demo-XXXXXX";
    if (!mkdtemp(dir)) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string source = argc > 1 ? argv[1] : std::string(dir) + "/firmware.bin";
    if (argc <= 1) {
        std::vector<char> sample(40000);
        for (size_t i = 0; i < sample.size(); ++i)
            sample[i] = static_cast<char>(i * 7 + i / 251);
        std::ofstream(source, std::ios::binary).write(sample.data(), static_cast<std::streamsize>(sample.size()));
    }
    std::string received = std::string(dir) + "/received.bin";

    d2xxsim::PtyPeer::Options options;
    options.argv = {"rx", "-c", "-b", "-U", "-q", received};
    options.waitForInputFlush = true;
    auto peer = std::make_shared<d2xxsim::PtyPeer>(options);
    d2xxsim::AttachPeer(instrument, peer);

    std::printf("\nD2xxXmodem: %s -> device %d (rx -c -b on a pseudo-terminal), 115200 baud\n",
                source.c_str(), instrument);
    int blocks = 0;
    win32sim::SetMessageHook([&blocks](HWND window, UINT message, WPARAM, LPARAM) {
        if (message == WM_INITDIALOG) {
            char name[128] = {};
            GetDlgItemTextA(window, 1000, name, sizeof name);
            blocks = static_cast<int>(SendDlgItemMessageA(window, 1001, PBM_GETRANGE, FALSE, 0));
            std::printf("dialog \"XMODEM 1K over D2XX\" shows \"%s\"\n", name);
        }
        if (message == PBM_STEPIT) {
            int position = static_cast<int>(SendMessageA(window, PBM_GETPOS, 0, 0));
            std::printf("\r  progress: block %d of %d", position, blocks);
            (void)std::fflush(stdout);  // a progress line that fails to show changes nothing
        }
    });
    DownloadResult result = D2xxXmodem(nullptr, source.c_str(), static_cast<DWORD>(instrument), 115200);
    win32sim::SetMessageHook(nullptr);
    std::printf("\nresult: %d (%s)\n", static_cast<int>(result), ResultName(result));

    peer->WaitExit(std::chrono::seconds(5));
    auto sent = ReadAll(source);
    auto got = ReadAll(received);
    bool same = got.size() >= sent.size() && std::equal(sent.begin(), sent.end(), got.begin());
    std::printf("rx wrote %zu bytes (the file's %zu and 0x1A padding): %s\n", got.size(), sent.size(),
                same ? "contents match" : "CONTENTS DIFFER");
    unlink(received.c_str());
    if (argc <= 1)
        unlink(source.c_str());
    rmdir(dir);
    return result == DownloadCompleted && same ? 0 : 1;
}
