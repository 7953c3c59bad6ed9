// D2XX enumeration data of any bytes: device counts and list failures, IDs, busy devices, failing
// info queries, serial numbers and descriptions with and without terminators, in single- and
// double-byte code pages, into sorted and unsorted combo boxes. Every entry must be one the
// listing allows, labelled as it allows, no longer than the label buffer, with its device number
// as item data; and no device may be left open.
#include <windows.h>

#include "ambrix.h"
#include "d2xx_sim.h"
#include "fuzz_input.h"
#include "win32_sim.h"

#include <cstring>
#include <set>
#include <string>

using namespace kestrune_fuzz;

namespace {

constexpr DWORD kOwnId = AMBRIX_OWN_VENDOR_ID;
constexpr DWORD kUnprogrammedId = 0x04036001;
constexpr size_t kLabelSize = 80;

struct Attached {
    d2xxsim::DeviceInfo info;
    bool infoFails;
};

// The text a buffer of `size` bytes holds after the info query: up to the first NUL, cut to
// size - 1 bytes (the library ends each buffer with a NUL of its own).
std::string Held(const std::string& text, size_t size) {
    std::string held = text.substr(0, text.find('\0'));
    return held.substr(0, size - 1);
}

bool LeadByte932(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

// Whether `length` bytes of `text` end on a character boundary in the code page.
bool OnBoundary(const std::string& text, size_t length, bool doubleByte) {
    size_t at = 0;
    while (at < length) {
        at +=
            doubleByte && LeadByte932(static_cast<unsigned char>(text[at])) && at + 1 < text.size()
                ? 2
                : 1;
    }
    return at == length;
}

std::string TextFrom(Input& in) {
    std::vector<uint8_t> bytes = in.Counted8();
    return std::string(bytes.begin(), bytes.end());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    d2xxsim::Reset();
    uint8_t flags = in.Byte();
    bool doubleByte = (flags & 1) != 0;
    win32sim::SetAnsiCodePage(doubleByte ? 932 : 1252);
    bool sorted = (flags & 2) != 0;
    BOOL includeUnprogrammed = (flags & 4) != 0;
    DWORD productFilter = (flags & 8) ? in.Dword() : 0;
    FT_STATUS listStatus = (flags & 16) ? in.Byte() % 20 : FT_OK;
    d2xxsim::SetListDevicesStatus(listStatus);

    std::vector<Attached> attached;
    size_t count = in.Byte() % 12;
    for (size_t i = 0; i < count; ++i) {
        uint8_t kind = in.Byte();
        Attached device{};
        switch (kind % 4) {
        case 0:
            device.info.id = (kOwnId << 16) | in.Word();
            break;
        case 1:
            device.info.id = kUnprogrammedId;
            break;
        case 2:
            device.info.id = (kOwnId << 16) | (productFilter & 0xFFFF);
            break;
        default:
            device.info.id = in.Dword();
            break;
        }
        device.info.busy = (kind & 0x10) != 0;
        device.infoFails = (kind & 0x20) != 0;
        device.info.description = TextFrom(in);
        device.info.serialNumber = TextFrom(in);
        int number = d2xxsim::AddDevice(device.info);
        if (kind & 0x40) {
            d2xxsim::SetUnterminatedInfo(number, true);
        }
        if (device.infoFails) {
            d2xxsim::FailCall(number, "FT_GetDeviceInfo", FT_DEVICE_NOT_FOUND);
        }
        attached.push_back(device);
    }

    HWND box = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | (sorted ? CBS_SORT : CBS_DROPDOWNLIST),
                               0, 0, 100, 100, nullptr, nullptr, nullptr, nullptr);
    Require(box != nullptr, "the combo box was created");
    SendMessageA(box, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("stale entry"));
    int result = GetD2xxInstruments(box, productFilter, includeUnprogrammed);

    if (listStatus != FT_OK) {
        Require(result == static_cast<int>(listStatus), "a failed listing returns its status");
    } else {
        Require(result == static_cast<int>(count), "the result is the number of devices counted");
    }

    // Which devices must be listed, and with what label.
    std::vector<std::string> expected(count);
    std::set<size_t> listed;
    for (size_t i = 0; i < count && listStatus == FT_OK; ++i) {
        const Attached& device = attached[i];
        if (device.info.busy || device.infoFails) {
            continue;
        }
        WORD filter = LOWORD(productFilter);
        if (HIWORD(device.info.id) == kOwnId && (filter == 0 || filter == LOWORD(device.info.id))) {
            expected[i] =
                Held(device.info.description, 64) + " - " + Held(device.info.serialNumber, 16);
            listed.insert(i);
        } else if (includeUnprogrammed && device.info.id == kUnprogrammedId) {
            expected[i] = "Unprogrammed FTDI FTD2XX device";
            listed.insert(i);
        }
    }

    LRESULT entries = SendMessageA(box, CB_GETCOUNT, 0, 0);
    Require(entries == static_cast<LRESULT>(listed.size()),
            "one entry for each listed device, the box emptied first");
    std::set<size_t> seen;
    for (LRESULT i = 0; i < entries; ++i) {
        LRESULT length = SendMessageA(box, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        Require(length >= 0 && static_cast<size_t>(length) < kLabelSize,
                "no label is longer than the label buffer");
        char text[1100];
        std::memset(text, 0, sizeof(text));
        SendMessageA(box, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        LRESULT item = SendMessageA(box, CB_GETITEMDATA, static_cast<WPARAM>(i), 0);
        Require(item >= 0 && static_cast<size_t>(item) < count &&
                    listed.count(static_cast<size_t>(item)) != 0,
                "item data is the number of a device that may be listed");
        Require(seen.insert(static_cast<size_t>(item)).second, "each device is listed once");
        const std::string& full = expected[static_cast<size_t>(item)];
        std::string label(text, static_cast<size_t>(length));
        Require(full.compare(0, label.size(), label) == 0, "the label is the device's own text");
        if (full.size() < kLabelSize) {
            Require(label == full, "a label that fits is not cut");
        } else {
            bool cutAtEnd =
                label.size() == kLabelSize - 1 || (doubleByte && label.size() == kLabelSize - 2);
            Require(cutAtEnd && OnBoundary(full, label.size(), doubleByte),
                    "a long label is cut at the buffer, on a character boundary");
        }
    }
    for (size_t i = 0; i < count; ++i) {
        Require(!d2xxsim::IsOpen(static_cast<int>(i)), "no device is left open");
    }
    DestroyWindow(box);
    return 0;
}
