// XMODEM-1K sender with CRC-16. The receiver drives the transfer: 'C' starts it, ACK moves to
// the next block, NAK repeats the last packet, two CAN bytes in a row end it. There is no
// retry limit and no overall time-out; the user's Cancel is the way out of a silent receiver.
#include <windows.h>
#include <commctrl.h>
#include "ftd2xx.h"
#include "module_state.h"
#include "resource.h"
#include "xmodem_sender.h"

namespace {

const BYTE STX = 0x02;
const BYTE EOT = 0x04;
const BYTE ACK = 0x06;
const BYTE NAK = 0x15;
const BYTE CAN = 0x18;
const BYTE SUB = 0x1A;
const BYTE kCrcModeRequest = 'C';

const DWORD kBlockSize = 1024;
const DWORD kHeaderLength = 3;
const DWORD kPacketLength = kHeaderLength + kBlockSize + 2;
const DWORD kCancelLength = 4;

// Read and write time-outs of the port; the read time-out bounds how late Cancel is noticed.
const ULONG kReadTimeoutMs = 1000;
const ULONG kWriteTimeoutMs = 1000;

enum SenderState { AwaitStart, AwaitBlockReply, AwaitEotReply };

// Entry i is the CRC register after shifting i << 8 through eight steps of polynomial 0x1021.
const WORD crc16Table[256] = {
    0x0000, 0x1021, 0x2042, 0x3063, 0x4084, 0x50A5, 0x60C6, 0x70E7, 0x8108, 0x9129, 0xA14A,
    0xB16B, 0xC18C, 0xD1AD, 0xE1CE, 0xF1EF, 0x1231, 0x0210, 0x3273, 0x2252, 0x52B5, 0x4294,
    0x72F7, 0x62D6, 0x9339, 0x8318, 0xB37B, 0xA35A, 0xD3BD, 0xC39C, 0xF3FF, 0xE3DE, 0x2462,
    0x3443, 0x0420, 0x1401, 0x64E6, 0x74C7, 0x44A4, 0x5485, 0xA56A, 0xB54B, 0x8528, 0x9509,
    0xE5EE, 0xF5CF, 0xC5AC, 0xD58D, 0x3653, 0x2672, 0x1611, 0x0630, 0x76D7, 0x66F6, 0x5695,
    0x46B4, 0xB75B, 0xA77A, 0x9719, 0x8738, 0xF7DF, 0xE7FE, 0xD79D, 0xC7BC, 0x48C4, 0x58E5,
    0x6886, 0x78A7, 0x0840, 0x1861, 0x2802, 0x3823, 0xC9CC, 0xD9ED, 0xE98E, 0xF9AF, 0x8948,
    0x9969, 0xA90A, 0xB92B, 0x5AF5, 0x4AD4, 0x7AB7, 0x6A96, 0x1A71, 0x0A50, 0x3A33, 0x2A12,
    0xDBFD, 0xCBDC, 0xFBBF, 0xEB9E, 0x9B79, 0x8B58, 0xBB3B, 0xAB1A, 0x6CA6, 0x7C87, 0x4CE4,
    0x5CC5, 0x2C22, 0x3C03, 0x0C60, 0x1C41, 0xEDAE, 0xFD8F, 0xCDEC, 0xDDCD, 0xAD2A, 0xBD0B,
    0x8D68, 0x9D49, 0x7E97, 0x6EB6, 0x5ED5, 0x4EF4, 0x3E13, 0x2E32, 0x1E51, 0x0E70, 0xFF9F,
    0xEFBE, 0xDFDD, 0xCFFC, 0xBF1B, 0xAF3A, 0x9F59, 0x8F78, 0x9188, 0x81A9, 0xB1CA, 0xA1EB,
    0xD10C, 0xC12D, 0xF14E, 0xE16F, 0x1080, 0x00A1, 0x30C2, 0x20E3, 0x5004, 0x4025, 0x7046,
    0x6067, 0x83B9, 0x9398, 0xA3FB, 0xB3DA, 0xC33D, 0xD31C, 0xE37F, 0xF35E, 0x02B1, 0x1290,
    0x22F3, 0x32D2, 0x4235, 0x5214, 0x6277, 0x7256, 0xB5EA, 0xA5CB, 0x95A8, 0x8589, 0xF56E,
    0xE54F, 0xD52C, 0xC50D, 0x34E2, 0x24C3, 0x14A0, 0x0481, 0x7466, 0x6447, 0x5424, 0x4405,
    0xA7DB, 0xB7FA, 0x8799, 0x97B8, 0xE75F, 0xF77E, 0xC71D, 0xD73C, 0x26D3, 0x36F2, 0x0691,
    0x16B0, 0x6657, 0x7676, 0x4615, 0x5634, 0xD94C, 0xC96D, 0xF90E, 0xE92F, 0x99C8, 0x89E9,
    0xB98A, 0xA9AB, 0x5844, 0x4865, 0x7806, 0x6827, 0x18C0, 0x08E1, 0x3882, 0x28A3, 0xCB7D,
    0xDB5C, 0xEB3F, 0xFB1E, 0x8BF9, 0x9BD8, 0xABBB, 0xBB9A, 0x4A75, 0x5A54, 0x6A37, 0x7A16,
    0x0AF1, 0x1AD0, 0x2AB3, 0x3A92, 0xFD2E, 0xED0F, 0xDD6C, 0xCD4D, 0xBDAA, 0xAD8B, 0x9DE8,
    0x8DC9, 0x7C26, 0x6C07, 0x5C64, 0x4C45, 0x3CA2, 0x2C83, 0x1CE0, 0x0CC1, 0xEF1F, 0xFF3E,
    0xCF5D, 0xDF7C, 0xAF9B, 0xBFBA, 0x8FD9, 0x9FF8, 0x6E17, 0x7E36, 0x4E55, 0x5E74, 0x2E93,
    0x3EB2, 0x0ED1, 0x1EF0,
};

// The one transmit buffer: a block packet, a lone EOT, or the four CAN bytes.
BYTE TxPacket[kPacketLength];

// Reads that fail at once with no byte, in a row, that mean the bridge has gone.
const int kFailedReadLimit = 3;
// Pause before posting the end message again when the dialog's queue is full.
const DWORD kPostRetryMs = 10;

// What a step of the transfer leads to: on, or one of the DownloadResult values.
const int kTransferGoesOn = -1;

struct SenderContext {
    HWND dialog;
    SenderState state;
    BYTE blockNumber;
    DWORD lastPacketLength;
};

BOOL IsCancelRequested()
{
    return InterlockedCompareExchange(&cancelRequested, 0, 0) != 0;
}

// Writes the first length bytes of TxPacket. FT_Write returns fewer bytes than asked when its
// time-out passes while a slow line drains; the rest follows in further writes until all are
// out, Cancel is pressed (when the write may be cancelled) or the device fails. A write that
// moved bytes counts whatever its status.
int WritePacket(DWORD length, BOOL cancellable)
{
    DWORD done = 0;
    while (done < length) {
        if (cancellable && IsCancelRequested())
            return DownloadUserCancelled;
        DWORD written = 0;
        FT_STATUS status = FT_Write(deviceHandle, TxPacket + done, length - done, &written);
        if (written > length - done)
            written = length - done;
        if (written == 0 && status != FT_OK)
            return DownloadDeviceError;
        // Only a packet waits out a line that takes nothing: the CAN bytes are a last word.
        if (written == 0 && !cancellable)
            break;
        done += written;
    }
    return kTransferGoesOn;
}

// Reads the next part of the file into TxPacket and writes it as a block, or as EOT when the
// file is exhausted. A read that fails ends the transfer: the image would arrive truncated.
int SendNextBlock(SenderContext* sender)
{
    BYTE* data = TxPacket + kHeaderLength;
    DWORD bytesRead = 0;
    if (!ReadFile(sourceFile, data, kBlockSize, &bytesRead, NULL) || bytesRead > kBlockSize)
        return DownloadFileError;

    if (bytesRead == 0) {
        TxPacket[0] = EOT;
        sender->lastPacketLength = 1;
        sender->state = AwaitEotReply;
    } else {
        for (DWORD i = bytesRead; i < kBlockSize; ++i)
            data[i] = SUB;
        WORD crc = ComputeCrc16(data, kBlockSize);
        TxPacket[0] = STX;
        TxPacket[1] = sender->blockNumber;
        TxPacket[2] = (BYTE)(255 - sender->blockNumber);
        TxPacket[kHeaderLength + kBlockSize] = HIBYTE(crc);
        TxPacket[kHeaderLength + kBlockSize + 1] = LOBYTE(crc);
        SendDlgItemMessageA(sender->dialog, IDC_PROGRESS, PBM_STEPIT, 0, 0);
        sender->lastPacketLength = kPacketLength;
        sender->state = AwaitBlockReply;
    }
    return WritePacket(sender->lastPacketLength, TRUE);
}

// Acts on one received byte other than CAN.
int HandleReply(SenderContext* sender, BYTE reply)
{
    switch (sender->state) {
    case AwaitStart:
        if (reply == kCrcModeRequest)
            return SendNextBlock(sender);
        break;
    case AwaitBlockReply:
        if (reply == ACK) {
            sender->blockNumber = (BYTE)(sender->blockNumber + 1);
            return SendNextBlock(sender);
        }
        if (reply == NAK)
            return WritePacket(sender->lastPacketLength, TRUE);
        break;
    case AwaitEotReply:
        if (reply == ACK)
            return DownloadCompleted;
        if (reply == NAK)
            return WritePacket(sender->lastPacketLength, TRUE);
        break;
    }
    return kTransferGoesOn;
}

// Runs the transfer until one side ends it; returns its DownloadResult.
int RunTransfer(SenderContext* sender)
{
    int canCount = 0;
    int failedReads = 0;
    FT_Purge(deviceHandle, FT_PURGE_RX | FT_PURGE_TX);
    for (;;) {
        // Once EOT is out, Cancel waits for one more read: an ACK already waiting means the
        // image has arrived, and that is what happened.
        if (IsCancelRequested() && sender->state != AwaitEotReply)
            return DownloadUserCancelled;
        BYTE received = 0;
        DWORD count = 0;
        FT_STATUS status = FT_Read(deviceHandle, &received, 1, &count);
        if (count == 0) {
            // FT_OK without a byte is a time-out: a CAN seen before it still counts toward
            // the pair. A read that fails at once, again and again, is a bridge that has gone.
            failedReads = status == FT_OK ? 0 : failedReads + 1;
            if (failedReads >= kFailedReadLimit)
                return DownloadDeviceError;
            if (sender->state == AwaitEotReply && IsCancelRequested())
                return DownloadUserCancelled;
            continue;
        }
        failedReads = 0;
        if (received == CAN) {
            if (canCount == 1) {
                FT_Purge(deviceHandle, FT_PURGE_RX);
                return DownloadReceiverCancelled;
            }
            ++canCount;
            continue;
        }
        canCount = 0;
        if (sender->state == AwaitEotReply && received != ACK && IsCancelRequested())
            return DownloadUserCancelled;
        int result = HandleReply(sender, received);
        if (result != kTransferGoesOn)
            return result;
    }
}

}  // namespace

WORD ComputeCrc16(const BYTE* data, DWORD length)
{
    WORD crc = 0;
    for (DWORD i = 0; i < length; ++i)
        crc = (WORD)((crc << 8) ^ crc16Table[((crc >> 8) ^ data[i]) & 0xFF]);
    return crc;
}

int ConfigurePort(DWORD baudRate)
{
    if (deviceHandle == NULL)
        return 0;
    // Every setting is made even after one has failed.
    BOOL failed = FALSE;
    failed |= FT_SetBaudRate(deviceHandle, baudRate) != FT_OK;
    failed |= FT_SetDataCharacteristics(deviceHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_NONE) !=
              FT_OK;
    failed |= FT_SetFlowControl(deviceHandle, FT_FLOW_NONE, 0, 0) != FT_OK;
    failed |= FT_ClrDtr(deviceHandle) != FT_OK;
    failed |= FT_ClrRts(deviceHandle) != FT_OK;
    failed |= FT_SetChars(deviceHandle, 0, 0, 0, 0) != FT_OK;
    failed |= FT_SetTimeouts(deviceHandle, kReadTimeoutMs, kWriteTimeoutMs) != FT_OK;
    return failed ? 1 : 0;
}

DWORD WINAPI XmodemSendThread(LPVOID dialog)
{
    // The reference taken for this thread; dropping it is the thread's very last act.
    HMODULE module = senderModule;
    SenderContext sender;
    sender.dialog = (HWND)dialog;
    sender.state = AwaitStart;
    sender.blockNumber = 1;
    sender.lastPacketLength = 0;

    int result = RunTransfer(&sender);
    // The receiver is told that the transfer is over when this side ends it; a device that
    // failed is not written to again.
    if (result == DownloadUserCancelled || result == DownloadFileError) {
        for (DWORD i = 0; i < kCancelLength; ++i)
            TxPacket[i] = CAN;
        WritePacket(kCancelLength, FALSE);
    }

    // Recorded first: the dialog acts on the end message only once the result is there.
    InterlockedExchange(&senderResult, result);
    InterlockedExchange(&senderFinished, 1);
    // Posted, never sent: the dialog waits for this thread in its handler. A full queue is
    // tried again while the dialog exists and has not taken the result by another message.
    while (!PostMessageA(sender.dialog, WM_DOWNLOAD_END, (WPARAM)result, 0) &&
           IsWindow(sender.dialog) && InterlockedCompareExchange(&senderFinished, 1, 1) == 1)
        Sleep(kPostRetryMs);
    if (module != NULL)
        FreeLibraryAndExitThread(module, 0);
    return 0;
}
