// The control codes, sent as an application's DeviceIoControl on a handle of a started device.
#include "driver_test_support.h"

#include "kestrune_ioctl.h"

#include <cstring>

namespace kestrune_test {
namespace {

using kstandin::usb::Instrument;

class ControlTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        Plug(kstandin::usb::BulkInstrument());
    }
    void TearDown() override {
        if (file_ != nullptr) {
            kstandin::ReleaseFileObject(file_);
        }
        if (instrument_ && instrument_->Pdo() != nullptr) {
            RemoveInstrument(*instrument_);
        }
        DriverTest::TearDown();
    }

    void Plug(const kstandin::usb::InstrumentSpec& spec) {
        instrument_ = std::make_unique<Instrument>(spec);
        device_ = AddInstrument(*instrument_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        ASSERT_EQ(kstandin::pnp::Start(instrument_->Pdo()), STATUS_SUCCESS);
        file_ = kstandin::CreateFileObject(device_, u"");
    }

    kstandin::IrpResult Control(ULONG code, const void* input, ULONG inputLength, void* output,
                                ULONG outputLength) {
        return kstandin::DeviceControl(file_, code, input, inputLength, output, outputLength);
    }

    // A get code that answers one word: returns it, failing the test if the call fails.
    ULONG GetWord(ULONG code) {
        ULONG value = 0xDEADBEEF;
        kstandin::IrpResult result = Control(code, nullptr, 0, &value, sizeof(value));
        EXPECT_EQ(result.status, STATUS_SUCCESS) << std::hex << code;
        EXPECT_EQ(result.information, 4u) << std::hex << code;
        return value;
    }

    kstandin::IrpResult SetWord(ULONG code, ULONG value) {
        return Control(code, &value, sizeof(value), nullptr, 0);
    }

    std::string Text(ULONG code, ULONG outputLength, NTSTATUS* status = nullptr) {
        std::vector<char> buffer(outputLength + 1, '#');
        kstandin::IrpResult result = Control(code, nullptr, 0, buffer.data(), outputLength);
        if (status != nullptr) {
            *status = result.status;
        }
        if (!NT_SUCCESS(result.status)) {
            EXPECT_EQ(result.information, 0u);
            EXPECT_EQ(buffer[0], '#') << "nothing is written on failure";
            return {};
        }
        EXPECT_EQ(buffer[result.information - 1], 0) << "text ends with its NUL";
        EXPECT_EQ(strlen(buffer.data()) + 1, result.information);
        return std::string(buffer.data());
    }

    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    PFILE_OBJECT file_ = nullptr;
};

TEST_F(ControlTest, NumbersComeBackAsWordsAndSetCodesStoreThem) {
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_VERSION), 27010u);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_MAX_TRANSFER_A), 65536u);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_MAX_TRANSFER_B), 65536u);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_START_TICK), record_->startTick);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_OPTIONS), 0u);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE), 2048u);

    // Without an output buffer a set code reports nothing to copy back; with one it hands the
    // stored word back.
    kstandin::IrpResult set = SetWord(IOCTL_KESTRUNE_SET_OPTIONS, KESTRUNE_OPTION_PARTIAL_READS);
    EXPECT_EQ(set.status, STATUS_SUCCESS);
    EXPECT_EQ(set.information, 0u);
    ULONG input = KESTRUNE_OPTION_PARTIAL_READS, echoed = 0;
    set = Control(IOCTL_KESTRUNE_SET_OPTIONS, &input, sizeof input, &echoed, sizeof echoed);
    EXPECT_EQ(set.information, 4u);
    EXPECT_EQ(echoed, KESTRUNE_OPTION_PARTIAL_READS);
    EXPECT_EQ(*Global<ULONG>("driverOptions"), 1u);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_OPTIONS), 1u);

    EXPECT_EQ(SetWord(IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE, 12345).status, STATUS_SUCCESS);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE), 12345u);
    EXPECT_EQ(SetWord(IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, 4096).status, STATUS_SUCCESS);
    EXPECT_EQ(GetWord(IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE), 4096u);
    EXPECT_EQ(SetWord(IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, 65536).status, STATUS_SUCCESS);
    EXPECT_EQ(record_->readChunkSize, 65536u);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(ControlTest, ShortBuffersStoreAndWriteNothing) {
    ULONG value = 7;
    kstandin::IrpResult result = Control(IOCTL_KESTRUNE_SET_OPTIONS, &value, 3, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(*Global<ULONG>("driverOptions"), 0u);
    EXPECT_EQ(Control(IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, &value, 2, nullptr, 0).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(record_->readChunkSize, 2048u);

    UCHAR out[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    result = Control(IOCTL_KESTRUNE_GET_VERSION, nullptr, 0, out, 3);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(out[0], 0xAA);

    // The build date needs its 20 characters and the NUL.
    NTSTATUS status;
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_BUILD_DATE, 20, &status), "");
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_BUILD_DATE, 21), "Oct 29 2018 15:54:50");

    // A set code never reports more than an output buffer of 1 to 3 bytes can take.
    value = 5000;
    UCHAR small[2] = {0, 0};
    result = Control(IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE, &value, 4, small, 2);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 2u);
    EXPECT_EQ(record_->writeChunkSize, 5000u);
}

TEST_F(ControlTest, ReadChunkSizesThatCannotWorkAreRefused) {
    for (ULONG value : {0u, 65537u, 0xFFFFFFFFu}) {
        kstandin::IrpResult result = SetWord(IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, value);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << value;
        EXPECT_EQ(result.information, 0u);
    }
    EXPECT_EQ(record_->readChunkSize, 2048u);
}

TEST_F(ControlTest, ConfigurationDescriptorIsCopiedWholeOrNotAtAll) {
    ULONG total = record_->configDescriptor->wTotalLength;
    std::vector<UCHAR> buffer(total, 0xEE);
    kstandin::IrpResult result =
        Control(IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total - 1);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(buffer[0], 0xEE);
    result = Control(IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer.data(), total);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, total);
    EXPECT_EQ(buffer, kstandin::usb::ConfigurationBytes(kstandin::usb::BulkInstrument()));
}

TEST_F(ControlTest, StringsComeBackAsNarrowText) {
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_MANUFACTURER_STRING, 64), "Trelvo Instruments");
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_PRODUCT_STRING, 64), "Bulk Instrument");
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_SERIAL_NUMBER, 64), "SN000123");
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_SERIAL_NUMBER, 9), "SN000123");
    NTSTATUS status;
    Text(IOCTL_KESTRUNE_GET_SERIAL_NUMBER, 8, &status);
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(record_->outstandingIo, 1);
}

TEST_F(ControlTest, StringEdgeCases) {
    RemoveInstrument(*instrument_);
    kstandin::ReleaseFileObject(file_);
    file_ = nullptr;
    kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
    spec.serialIndex = 0;  // no serial number
    spec.productIndex = 4;
    spec.strings[4] = std::u16string(100, u'x');  // bLength 202
    spec.manufacturerIndex = 5;
    spec.strings[5] = u"AB\u0100CD";  // a unit whose low byte is 0 ends the text
    spec.rawStrings[6] = {1, USB_STRING_DESCRIPTOR_TYPE};  // bLength below 2
    spec.rawStrings[7] = {200, USB_STRING_DESCRIPTOR_TYPE, 'x', 0, 'y', 0, 'z', 0};
    spec.strings.erase(1);
    Plug(spec);

    NTSTATUS status;
    Text(IOCTL_KESTRUNE_GET_SERIAL_NUMBER, 64, &status);
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_PRODUCT_STRING, 101), std::string(100, 'x'));
    Text(IOCTL_KESTRUNE_GET_PRODUCT_STRING, 100, &status);
    EXPECT_EQ(status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_MANUFACTURER_STRING, 64), "AB");

    record_->deviceDescriptor.iManufacturer = 6;
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_MANUFACTURER_STRING, 64), "");
    // bLength 200 with three units sent: the text is what arrived.
    record_->deviceDescriptor.iManufacturer = 7;
    EXPECT_EQ(Text(IOCTL_KESTRUNE_GET_MANUFACTURER_STRING, 64), "xyz");
    // A missing string is a failed read.
    record_->deviceDescriptor.iProduct = 9;
    instrument_->SetStringAnswer(kstandin::usb::ControlAnswer::Stall);
    Text(IOCTL_KESTRUNE_GET_PRODUCT_STRING, 64, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
    record_->deviceDescriptor.iProduct = 0;
    Text(IOCTL_KESTRUNE_GET_PRODUCT_STRING, 64, &status);
    EXPECT_EQ(status, STATUS_UNSUCCESSFUL);
}

TEST_F(ControlTest, PipeResetNeedsAPipeHandleOfTheCurrentConfiguration) {
    EXPECT_EQ(Control(IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    kstandin::OpenResult pipe = kstandin::OpenFile(NameOf(record_->deviceName) + u"\\ep01");
    ASSERT_EQ(pipe.status, STATUS_SUCCESS);
    instrument_->ClearLog();
    EXPECT_EQ(kstandin::DeviceControl(pipe.file, IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0, nullptr, 0)
                  .status,
              STATUS_SUCCESS);
    int resets = 0;
    for (const kstandin::usb::RequestRecord& request : instrument_->Log()) {
        resets += request.urbFunction == URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL;
    }
    EXPECT_EQ(resets, 1);
    kstandin::CloseFile(pipe.file);
    // A pipe pointer that is not in the current pipe table is never used.
    USBD_PIPE_INFORMATION stale{};
    file_->FsContext = &stale;
    EXPECT_EQ(Control(IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    file_->FsContext = nullptr;

    EXPECT_EQ(Control(IOCTL_KESTRUNE_RESET_PORT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    instrument_->Unplug();
    // A port that is not connected is not reset, and that is no failure.
    EXPECT_EQ(Control(IOCTL_KESTRUNE_RESET_PORT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
}

TEST_F(ControlTest, ClearingTheReadBufferDropsWhatWasBuffered) {
    record_->readBufferCount = 3;
    record_->readBuffer[0] = 0x55;
    kstandin::IrpResult result = Control(IOCTL_KESTRUNE_CLEAR_READ_BUFFER, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(record_->readBufferCount, 0);
    EXPECT_EQ(record_->readBuffer[0], 0);
}

TEST_F(ControlTest, UnknownCodesAndStatesOutsideWorkingAreRefused) {
    for (ULONG code : {ULONG(IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR + 2), ULONG(0x220440), ULONG(0x22048C),
                       ULONG(0x220458 | 1)}) {
        ULONG out = 0;
        kstandin::IrpResult result = Control(code, nullptr, 0, &out, sizeof(out));
        EXPECT_EQ(result.status, STATUS_INVALID_DEVICE_REQUEST) << std::hex << code;
        EXPECT_EQ(result.information, 0u);
    }
    for (ULONG state : {NotStarted, Stopped, PendingStop, PendingRemove, SurpriseRemoved}) {
        record_->deviceState = state;
        ULONG out = 0;
        EXPECT_EQ(Control(IOCTL_KESTRUNE_GET_VERSION, nullptr, 0, &out, 4).status,
                  STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(out, 0u);
        EXPECT_EQ(record_->outstandingIo, 1);
    }
    record_->deviceState = Working;
}

}  // namespace
}  // namespace kestrune_test
