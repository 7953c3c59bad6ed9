// Control codes of any value, with any input and output lengths and contents, on device and pipe
// handles, while Plug and Play walks the device through its states (started, stop and removal
// pending, stopped, restarted, surprise-removed). Each answer is held against what the code
// promises: the state gate, unknown codes, buffers too small, the values the get codes report and
// the set codes store, and text that is made only of the device's own string.
#include "driver_fuzz_support.h"

#include <cstring>

using namespace kestrune_fuzz;

namespace {

const ULONG kCodes[] = {
    IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR,
    IOCTL_KESTRUNE_RESET_PORT,
    IOCTL_KESTRUNE_RESET_PIPE,
    IOCTL_KESTRUNE_SET_OPTIONS,
    IOCTL_KESTRUNE_GET_OPTIONS,
    IOCTL_KESTRUNE_GET_VERSION,
    IOCTL_KESTRUNE_GET_BUILD_DATE,
    IOCTL_KESTRUNE_GET_MAX_TRANSFER_A,
    IOCTL_KESTRUNE_GET_MAX_TRANSFER_B,
    IOCTL_KESTRUNE_GET_SERIAL_NUMBER,
    IOCTL_KESTRUNE_GET_START_TICK,
    IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE,
    IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE,
    IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE,
    IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE,
    IOCTL_KESTRUNE_GET_MANUFACTURER_STRING,
    IOCTL_KESTRUNE_GET_PRODUCT_STRING,
    IOCTL_KESTRUNE_CLEAR_READ_BUFFER,
};

bool Known(ULONG code) {
    for (ULONG known : kCodes) {
        if (code == known) {
            return true;
        }
    }
    return false;
}

ULONG Word(const std::vector<uint8_t>& bytes) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), sizeof(value));
    return value;
}

struct Handle {
    PFILE_OBJECT file;
    bool pipe;
};

class Session {
  public:
    Session(PluggedDevice& plugged, const kstandin::usb::InstrumentSpec& spec)
        : plugged_(plugged), spec_(spec) {}

    void Open(bool pipe, UCHAR index) {
        std::u16string name;
        if (pipe) {
            name = u"\\ep0";
            name.push_back(static_cast<char16_t>(u'0' + index % 2));
        }
        kstandin::OpenResult result =
            kstandin::OpenFile(kstandin::ToU16(plugged_.record()->interfaceName) + name);
        if (plugged_.State() == Working) {
            Require(result.status == STATUS_SUCCESS,
                    "a Working device opens its device and pipe handles");
        }
        if (result.status == STATUS_SUCCESS) {
            plugged_.Keep(result.file);
            handles_.push_back({result.file, pipe});
        }
    }

    void Close(size_t which) {
        if (handles_.empty()) {
            return;
        }
        Handle handle = handles_[which % handles_.size()];
        handles_.erase(handles_.begin() + static_cast<long>(which % handles_.size()));
        plugged_.Forget(handle.file);
        kstandin::CloseFile(handle.file);
    }

    void Control(Input& in) {
        if (handles_.empty()) {
            return;
        }
        Handle handle = handles_[in.Byte() % handles_.size()];
        ULONG code;
        uint8_t pick = in.Byte();
        if (pick < 180) {
            code = kCodes[pick % 18] + (pick / 18 % 4 == 3 ? in.Byte() % 4 : 0);
        } else if (pick < 220) {
            code = 0x220440 + (in.Byte() % 0x50);
        } else {
            code = in.Dword();
        }
        ULONG inputLength = in.Byte() % 12;
        std::vector<uint8_t> input = in.Bytes(inputLength);
        input.resize(inputLength < 4 ? 4 : inputLength, 0);
        ULONG outputLength = in.Word() % 600;
        std::vector<uint8_t> output(outputLength + 1, 0xEE);

        DeviceRecord* record = plugged_.record();
        bool working = plugged_.State() == Working;
        ULONG optionsBefore = DriverOptions();
        ULONG readChunkBefore = record->readChunkSize;
        ULONG writeChunkBefore = record->writeChunkSize;

        kstandin::IrpResult result = kstandin::DeviceControl(
            handle.file, code, input.data(), inputLength, output.data(), outputLength);
        Require(result.completed, "a control code completes before DeviceIoControl returns");
        Require(result.information <= outputLength, "information never exceeds the output buffer");
        Require(output[outputLength] == 0xEE, "nothing is written past the output buffer");
        if (!NT_SUCCESS(result.status)) {
            Require(result.information == 0, "a failed control code reports no bytes");
        }
        if (!working) {
            Require(
                result.status == STATUS_INVALID_DEVICE_STATE,
                "every code fails with STATUS_INVALID_DEVICE_STATE unless the device is Working");
        } else if (!Known(code)) {
            Require(result.status == STATUS_INVALID_DEVICE_REQUEST,
                    "an unknown code fails with STATUS_INVALID_DEVICE_REQUEST");
        } else {
            CheckAnswer(code, handle, result, input, inputLength, output, outputLength);
        }
        if (code != IOCTL_KESTRUNE_SET_OPTIONS || !NT_SUCCESS(result.status)) {
            Require(DriverOptions() == optionsBefore,
                    "only a successful SET_OPTIONS changes the options");
        }
        if (code != IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE || !NT_SUCCESS(result.status)) {
            Require(record->readChunkSize == readChunkBefore,
                    "only a successful SET_READ_CHUNK_SIZE changes the read chunk size");
        }
        if (code != IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE || !NT_SUCCESS(result.status)) {
            Require(record->writeChunkSize == writeChunkBefore,
                    "only a successful SET_WRITE_CHUNK_SIZE changes the write chunk size");
        }
    }

    std::vector<Handle>& handles() { return handles_; }

  private:
    // The bytes the device answers for string `index`.
    kstandin::usb::Bytes DeviceString(UCHAR index) {
        auto raw = spec_.rawStrings.find(index);
        if (raw != spec_.rawStrings.end()) {
            return raw->second;
        }
        auto text = spec_.strings.find(index);
        return text == spec_.strings.end() ? kstandin::usb::Bytes{}
                                           : kstandin::usb::StringDescriptorBytes(text->second);
    }

    void CheckText(UCHAR index, const kstandin::IrpResult& result,
                   const std::vector<uint8_t>& output, ULONG outputLength) {
        if (!NT_SUCCESS(result.status)) {
            Require(result.status == STATUS_BUFFER_TOO_SMALL ||
                        result.status == STATUS_UNSUCCESSFUL,
                    "a string code fails only as too small or unsuccessful");
            return;
        }
        Require(result.information >= 1 && result.information <= 257,
                "a text is 0 to 256 bytes and a NUL");
        size_t length = result.information - 1;
        Require(output[length] == 0 &&
                    std::strlen(reinterpret_cast<const char*>(output.data())) == length,
                "the text ends at its NUL, and the information counts it");
        kstandin::usb::Bytes device = DeviceString(index);
        size_t available = device.size() < 256 ? device.size() : 256;
        for (size_t i = 0; i < length; ++i) {
            Require(2 + 2 * i < available && output[i] == device[2 + 2 * i],
                    "the text is the low bytes of the device's own string, nothing invented");
        }
        (void)outputLength;
    }

    void CheckAnswer(ULONG code, const Handle& handle, const kstandin::IrpResult& result,
                     const std::vector<uint8_t>& input, ULONG inputLength,
                     const std::vector<uint8_t>& output, ULONG outputLength) {
        DeviceRecord* record = plugged_.record();
        auto word = [&](ULONG expected, const char* what) {
            if (outputLength < 4) {
                Require(result.status == STATUS_BUFFER_TOO_SMALL,
                        "a get code fails on fewer than 4 bytes");
            } else {
                Require(result.status == STATUS_SUCCESS && result.information == 4,
                        "a get code succeeds with 4 bytes");
                Require(Word(output) == expected, what);
            }
        };
        switch (code) {
        case IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR: {
            kstandin::usb::Bytes configuration = kstandin::usb::ConfigurationBytes(spec_);
            if (outputLength < configuration.size()) {
                Require(result.status == STATUS_BUFFER_TOO_SMALL,
                        "a short buffer gets no part of the configuration");
            } else {
                Require(
                    result.status == STATUS_SUCCESS && result.information == configuration.size() &&
                        std::memcmp(output.data(), configuration.data(), configuration.size()) == 0,
                    "the configuration comes back whole, as the device returned it");
            }
            break;
        }
        case IOCTL_KESTRUNE_RESET_PORT:
            Require(result.information == 0, "a port reset reports no bytes");
            break;
        case IOCTL_KESTRUNE_RESET_PIPE:
            if (!handle.pipe) {
                Require(result.status == STATUS_INVALID_PARAMETER,
                        "a pipe reset on a device handle is refused");
            }
            Require(result.information == 0, "a pipe reset reports no bytes");
            break;
        case IOCTL_KESTRUNE_SET_OPTIONS:
        case IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE:
        case IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE: {
            if (inputLength < 4) {
                Require(result.status == STATUS_BUFFER_TOO_SMALL,
                        "a set code fails on fewer than 4 input bytes");
                break;
            }
            ULONG value = Word(input);
            if (code == IOCTL_KESTRUNE_SET_OPTIONS) {
                Require(result.status == STATUS_SUCCESS && DriverOptions() == value,
                        "the options are stored");
            } else if (code == IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE) {
                Require(result.status == STATUS_SUCCESS && record->writeChunkSize == value,
                        "the write chunk size is stored");
            } else if (NT_SUCCESS(result.status)) {
                Require(value >= 1 && value <= kLargeChunkSize && record->readChunkSize == value,
                        "a read chunk size is stored only from 1 to 65536");
            } else {
                Require(value == 0 || value > kLargeChunkSize,
                        "a read chunk size from 1 to 65536 is taken");
            }
            break;
        }
        case IOCTL_KESTRUNE_GET_OPTIONS:
            word(DriverOptions(), "GET_OPTIONS reports the options");
            break;
        case IOCTL_KESTRUNE_GET_VERSION:
            word(27010, "the driver version is 27010");
            break;
        case IOCTL_KESTRUNE_GET_MAX_TRANSFER_A:
        case IOCTL_KESTRUNE_GET_MAX_TRANSFER_B:
            word(65536, "the longest transfer is 65536 bytes");
            break;
        case IOCTL_KESTRUNE_GET_START_TICK:
            word(record->startTick, "the start tick is reported");
            break;
        case IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE:
            word(record->readChunkSize, "the read chunk size is reported");
            break;
        case IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE:
            word(record->writeChunkSize, "the write chunk size is reported");
            break;
        case IOCTL_KESTRUNE_GET_BUILD_DATE:
            if (outputLength < 21) {
                Require(result.status == STATUS_BUFFER_TOO_SMALL, "the build date needs 21 bytes");
            } else {
                Require(result.status == STATUS_SUCCESS && result.information == 21 &&
                            output[20] == 0 &&
                            std::strlen(reinterpret_cast<const char*>(output.data())) == 20,
                        "the build date is 20 characters and a NUL");
            }
            break;
        case IOCTL_KESTRUNE_GET_SERIAL_NUMBER:
            CheckText(spec_.serialIndex, result, output, outputLength);
            break;
        case IOCTL_KESTRUNE_GET_MANUFACTURER_STRING:
            CheckText(spec_.manufacturerIndex, result, output, outputLength);
            break;
        case IOCTL_KESTRUNE_GET_PRODUCT_STRING:
            CheckText(spec_.productIndex, result, output, outputLength);
            break;
        case IOCTL_KESTRUNE_CLEAR_READ_BUFFER:
            Require(result.status == STATUS_SUCCESS && result.information == 0 &&
                        record->readBufferCount == 0,
                    "the clear empties the read-ahead buffer");
            break;
        default:
            break;
        }
    }

    PluggedDevice& plugged_;
    const kstandin::usb::InstrumentSpec& spec_;
    std::vector<Handle> handles_;
};

} // namespace

namespace {

// Most inputs use a plain instrument kept started across inputs, so that a run costs its
// requests and not a device; an input that asks for strings of its own gets a device of its own.
struct KeptDevice {
    std::unique_ptr<PluggedDevice> plugged;
    kstandin::usb::InstrumentSpec spec = PlainInstrument();
    size_t poolBlocks = 0;
};

KeptDevice& Kept() {
    static KeptDevice* kept = new KeptDevice;
    if (!kept->plugged) {
        kept->plugged = std::make_unique<PluggedDevice>(kept->spec);
        Require(kstandin::pnp::Start(kept->plugged->pdo()) == STATUS_SUCCESS,
                "a plain instrument starts");
        kstandin::WaitUntilQuiet();
        kept->poolBlocks = DevicePoolBlocks();
    }
    return *kept;
}

// Brings the kept device back to Working with no handle open, as the next input expects it.
void Restore(KeptDevice& kept, Session& session) {
    PluggedDevice& plugged = *kept.plugged;
    if (plugged.removed()) { // the surprise removal closed the handles as well
        kept.plugged.reset();
        return;
    }
    while (!session.handles().empty()) {
        session.Close(0);
    }
    PDEVICE_OBJECT pdo = plugged.pdo();
    switch (plugged.State()) {
    case PendingStop:
        Require(kstandin::pnp::CancelStop(pdo) == STATUS_SUCCESS, "a cancelled stop succeeds");
        break;
    case PendingRemove:
        Require(kstandin::pnp::CancelRemove(pdo) == STATUS_SUCCESS, "a cancelled removal succeeds");
        break;
    case Stopped:
        Require(NT_SUCCESS(kstandin::pnp::Start(pdo)), "a stopped instrument starts again");
        break;
    default:
        break;
    }
    kstandin::WaitUntilQuiet();
    DeviceRecord* record = plugged.record();
    Require(plugged.State() == Working, "the kept device is Working again");
    Require(record->openHandles == 0, "closing every handle brings the count back to 0");
    Require(kstandin::OutstandingIrps() == 0 && kstandin::verifier::CheckTeardown() == 0,
            "no request is left in flight between inputs");
    Require(DevicePoolBlocks() == kept.poolBlocks,
            "the device holds the same pool blocks between inputs");
    record->readChunkSize = 2048;
    record->writeChunkSize = 2048;
    kstandin::TrimPoolRecords();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    ChooseLowerCompletion(in);
    uint8_t flags = in.Byte();
    // The options are driver-wide: each input starts from the value at load.
    DriverOptions() = 0;

    std::unique_ptr<PluggedDevice> own;
    kstandin::usb::InstrumentSpec spec = PlainInstrument();
    KeptDevice* kept = nullptr;
    if ((flags & 0xC0) == 0xC0) {
        if (flags & 1) {
            spec.serialIndex = 0;
        }
        if (flags & 2) {
            spec.productIndex = 0;
        }
        for (UCHAR index = 1; index <= 3; ++index) {
            if (flags & (4 << (index - 1))) {
                spec.rawStrings[index] = in.Counted8();
            }
        }
        if (flags & 32) {
            spec.vendorAnswer = kstandin::usb::ControlAnswer::Succeed;
        }
        own = std::make_unique<PluggedDevice>(spec);
        Require(kstandin::pnp::Start(own->pdo()) == STATUS_SUCCESS, "a plain instrument starts");
    } else {
        kept = &Kept();
    }
    PluggedDevice& plugged = own ? *own : *kept->plugged;
    Session session(plugged, own ? spec : kept->spec);
    session.Open(false, 0);
    bool surprise = false;
    for (int step = 0; step < 48 && !in.Empty() && !surprise; ++step) {
        uint8_t op = in.Byte();
        ULONG state = plugged.State();
        switch (op % 8) {
        case 0:
            session.Open(in.Bit(), in.Byte());
            break;
        case 1:
            session.Close(in.Byte());
            break;
        case 2: { // Plug and Play moves the device on, as the manager would from this state
            PDEVICE_OBJECT pdo = plugged.pdo();
            uint8_t move = in.Byte();
            if (state == Working) {
                if (move % 3 == 0) {
                    kstandin::pnp::QueryStop(pdo);
                } else if (move % 3 == 1) {
                    kstandin::pnp::QueryRemove(pdo);
                } else {
                    plugged.Remove(true);
                    surprise = true;
                }
            } else if (state == PendingStop) {
                if (move % 2 == 0) {
                    Require(kstandin::pnp::CancelStop(pdo) == STATUS_SUCCESS,
                            "a cancelled stop succeeds");
                    Require(plugged.State() == Working, "a cancelled stop returns to Working");
                } else {
                    Require(kstandin::pnp::Stop(pdo) == STATUS_SUCCESS, "a stop succeeds");
                }
            } else if (state == PendingRemove) {
                Require(kstandin::pnp::CancelRemove(pdo) == STATUS_SUCCESS,
                        "a cancelled removal succeeds");
                Require(plugged.State() == Working, "a cancelled removal returns to Working");
            } else if (state == Stopped) {
                Require(NT_SUCCESS(kstandin::pnp::Start(pdo)), "a stopped instrument starts again");
            }
            break;
        }
        default:
            session.Control(in);
            break;
        }
    }
    if (own) {
        own->Remove(false);
    } else {
        Restore(*kept, session);
    }
    return 0;
}
