// GetD2xxInstruments: lists the attached instruments into the host's combo box.
#include <windows.h>
#include "ftd2xx.h"
#include "ambrix.h"

namespace {

const WORD kOwnVendorId = AMBRIX_OWN_VENDOR_ID;
// A bridge whose configuration memory was never programmed: FTDI's own vendor and product ID.
const DWORD kFtdiDefaultDeviceId = 0x04036001;

const int kSerialSize = 16;
const int kDescriptionSize = 64;
const int kLabelSize = 80;

const char kUnprogrammedLabel[] = "Unprogrammed FTDI FTD2XX device";

// Copies text into label, cut to what the label holds; a double-byte character that would not
// fit whole is left out rather than split.
void CopyLabel(LPSTR label, LPCSTR text)
{
    int length = 0;
    LPCSTR p = text;
    while (*p) {
        LPCSTR next = CharNextA(p);
        int width = (int)(next - p);
        if (length + width > kLabelSize - 1)
            break;
        length += width;
        p = next;
    }
    lstrcpynA(label, text, length + 1);
}

// Decides whether the opened device is listed and, if so, writes its entry label.
BOOL DescribeDevice(FT_HANDLE handle, DWORD productFilter, BOOL includeUnprogrammed, LPSTR label)
{
    FT_DEVICE type = 0;
    DWORD id = 0;
    char serial[kSerialSize];
    char description[kDescriptionSize];
    serial[0] = 0;
    description[0] = 0;
    // Without valid information there is no ID to test, so the device is skipped.
    if (FT_GetDeviceInfo(handle, &type, &id, serial, description, NULL) != FT_OK)
        return FALSE;
    serial[kSerialSize - 1] = 0;
    description[kDescriptionSize - 1] = 0;

    WORD filter = LOWORD(productFilter);
    if (HIWORD(id) == kOwnVendorId && (filter == 0 || filter == LOWORD(id))) {
        // Description, " - " and serial can exceed the label; format wide, then cut.
        char text[kDescriptionSize + 3 + kSerialSize];
        wsprintfA(text, "%s - %s", description, serial);
        CopyLabel(label, text);
        return TRUE;
    }
    if (includeUnprogrammed && id == kFtdiDefaultDeviceId) {
        lstrcpynA(label, kUnprogrammedLabel, kLabelSize);
        return TRUE;
    }
    return FALSE;
}

}  // namespace

extern "C" int WINAPI GetD2xxInstruments(HWND comboBox, DWORD productFilter,
                                         BOOL includeUnprogrammed)
{
    // Emptied first, so the box is empty even when the listing fails.
    SendMessageA(comboBox, CB_RESETCONTENT, 0, 0);

    DWORD deviceCount = 0;
    FT_STATUS status = FT_ListDevices(&deviceCount, NULL, FT_LIST_NUMBER_ONLY);
    if (status != FT_OK)
        return (int)status;

    for (DWORD deviceNumber = 0; deviceNumber < deviceCount; ++deviceNumber) {
        FT_HANDLE handle = NULL;
        // Busy devices (held by another program or a running download) fail to open.
        if (FT_Open((int)deviceNumber, &handle) != FT_OK)
            continue;
        char label[kLabelSize];
        if (DescribeDevice(handle, productFilter, includeUnprogrammed, label)) {
            // A sorting box places the entry where it belongs: its data goes to the index the
            // box reports (CB_ERR or CB_ERRSPACE when it could not be added).
            LRESULT index = SendMessageA(comboBox, CB_ADDSTRING, 0, (LPARAM)label);
            if (index >= 0)
                SendMessageA(comboBox, CB_SETITEMDATA, (WPARAM)index, (LPARAM)deviceNumber);
        }
        FT_Close(handle);
    }
    return (int)deviceCount;
}
