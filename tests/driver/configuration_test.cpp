// Device configuration at start: the read chunk probe, the DOS device names, the selection of
// every interface, allocation failures and malformed descriptors.
#include "driver_test_support.h"

#include <chrono>
#include <functional>

namespace kestrune_test {
namespace {

using kstandin::usb::Bytes;
using kstandin::usb::ControlAnswer;
using kstandin::usb::Instrument;
using kstandin::usb::InstrumentSpec;
using kstandin::usb::InterfaceSpec;

class ConfigurationTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
    }
    void TearDown() override {
        for (auto& instrument : instruments_) {
            if (instrument->Pdo() != nullptr) {
                RemoveInstrument(*instrument);
            }
        }
        DriverTest::TearDown();
    }

    // Plugs in an instrument, adds the driver's device and starts it; returns its record.
    DeviceRecord* Start(const InstrumentSpec& spec, NTSTATUS expected = STATUS_SUCCESS) {
        instruments_.push_back(std::make_unique<Instrument>(spec));
        PDEVICE_OBJECT device = AddInstrument(*instruments_.back());
        if (device == nullptr) {
            return nullptr;
        }
        EXPECT_EQ(kstandin::pnp::Start(instruments_.back()->Pdo()), expected);
        return RecordOf(device);
    }
    Instrument& Last() { return *instruments_.back(); }

    static InstrumentSpec Product(USHORT vendor, USHORT product) {
        InstrumentSpec spec = kstandin::usb::BulkInstrument();
        spec.vendorId = vendor;
        spec.productId = product;
        return spec;
    }

    std::vector<std::unique_ptr<Instrument>> instruments_;
};

TEST_F(ConfigurationTest, OnlyAPlainLayoutIsProbedAndASuccessfulProbeRaisesTheChunk) {
    InstrumentSpec plain = kstandin::usb::BulkInstrument();
    plain.interfaces[0].number = 0;
    plain.vendorAnswer = ControlAnswer::Succeed;
    DeviceRecord* record = Start(plain);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->readChunkSize, 65536u);
    ASSERT_EQ(Last().CountUrbs(URB_FUNCTION_VENDOR_INTERFACE), 1u);
    for (const auto& request : Last().Log()) {
        if (request.urbFunction == URB_FUNCTION_VENDOR_INTERFACE) {
            EXPECT_EQ(request.setup.bmRequestType, 0x41);
            EXPECT_EQ(request.setup.bRequest, 1);
            EXPECT_EQ(static_cast<int>(request.setup.wValue), 0x0040);
            EXPECT_EQ(static_cast<int>(request.setup.wIndex), 0);
            EXPECT_EQ(static_cast<int>(request.setup.wLength), 0);
            EXPECT_EQ(request.urbLength, sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
        }
    }

    // A class-specific descriptor makes the configuration longer than the formula: no probe.
    InstrumentSpec extended = plain;
    extended.interfaces[0].extraDescriptors = {{5, 0x24, 1, 2, 3}};
    record = Start(extended);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Last().CountUrbs(URB_FUNCTION_VENDOR_INTERFACE), 0u);
    EXPECT_EQ(record->readChunkSize, 2048u);

    // A second interface with endpoints of its own breaks the layout as well.
    InstrumentSpec twoInterfaces = plain;
    InterfaceSpec second;
    second.number = 1;
    second.endpoints = {{0x83, USB_ENDPOINT_TYPE_BULK, 512, 0}};
    twoInterfaces.interfaces.push_back(second);
    record = Start(twoInterfaces);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(Last().CountUrbs(URB_FUNCTION_VENDOR_INTERFACE), 0u);
}

TEST_F(ConfigurationTest, AProbeThatStallsOrTimesOutKeepsTheChunkAndTheStart) {
    InstrumentSpec stalling = kstandin::usb::BulkInstrument();
    stalling.vendorAnswer = ControlAnswer::Stall;
    DeviceRecord* record = Start(stalling);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->deviceState, static_cast<ULONG>(Working));
    EXPECT_EQ(record->readChunkSize, 2048u);

    InstrumentSpec silent = kstandin::usb::BulkInstrument();
    silent.vendorAnswer = ControlAnswer::NeverAnswer;
    auto started = std::chrono::steady_clock::now();
    record = Start(silent);
    auto elapsed = std::chrono::steady_clock::now() - started;
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->deviceState, static_cast<ULONG>(Working));
    EXPECT_EQ(record->readChunkSize, 2048u);
    EXPECT_GE(elapsed, std::chrono::milliseconds(950));
    EXPECT_EQ(Last().PendingRequests(), 0u) << "the probe was cancelled and has ended";
    EXPECT_EQ(record->outstandingIo, 1);
}

TEST_F(ConfigurationTest, TheDosNameFollowsTheLowByteOfTheProductId) {
    const struct {
        USHORT product;
        const char16_t* link;
    } cases[] = {{0x0102, u"\\DosDevices\\trelvousb1"}, {0x0003, u"\\DosDevices\\trelvousb2"},
                 {0x0204, u"\\DosDevices\\trelvousb3"}, {0x0005, u"\\DosDevices\\trelvousb"}};
    for (const auto& each : cases) {
        DeviceRecord* record = Start(Product(KESTRUNE_OWN_VENDOR_ID, each.product));
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(NameOf(record->dosLinkName), std::u16string(each.link)) << std::hex << each.product;
        EXPECT_EQ(kstandin::SymbolicLinkTarget(each.link), NameOf(record->deviceName));
    }
}

TEST_F(ConfigurationTest, TheSecondDeviceWithTheSameSuffixAndOtherVendorsGetNoName) {
    DeviceRecord* first = Start(Product(KESTRUNE_OWN_VENDOR_ID, 0x0002));
    DeviceRecord* second = Start(Product(KESTRUNE_OWN_VENDOR_ID, 0x0102));
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(NameOf(first->dosLinkName), u"\\DosDevices\\trelvousb1");
    EXPECT_EQ(second->dosLinkName[0], 0);
    EXPECT_EQ(second->deviceState, static_cast<ULONG>(Working)) << "the clash does not fail the start";

    DeviceRecord* foreign = Start(Product(0x1234, 0x0003));
    ASSERT_NE(foreign, nullptr);
    EXPECT_EQ(foreign->dosLinkName[0], 0);
    EXPECT_FALSE(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb2"));

    // Removing the device without a name leaves the other device's name alone.
    RemoveInstrument(*instruments_[1]);
    EXPECT_EQ(kstandin::SymbolicLinkTarget(u"\\DosDevices\\trelvousb1"), NameOf(first->deviceName));
}

TEST_F(ConfigurationTest, EveryInterfaceIsSelectedAndTheFirstOneFoundIsKept) {
    // Interfaces 1, 3 and 6: the numbers the search has to skip are missing.
    InstrumentSpec spec = kstandin::usb::BulkInstrument();
    spec.interfaces[0].number = 1;
    InterfaceSpec third;
    third.number = 3;
    third.endpoints = {{0x83, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10}};
    InterfaceSpec sixth;
    sixth.number = 6;
    spec.interfaces.push_back(sixth);
    spec.interfaces.push_back(third);
    DeviceRecord* record = Start(spec);
    ASSERT_NE(record, nullptr);

    std::vector<kstandin::usb::RequestRecord> selects;
    for (const auto& request : Last().Log()) {
        if (request.urbFunction == URB_FUNCTION_SELECT_CONFIGURATION) {
            selects.push_back(request);
        }
    }
    ASSERT_EQ(selects.size(), 1u);
    ASSERT_EQ(selects[0].selectedInterfaces.size(), 3u);
    EXPECT_EQ(selects[0].selectedInterfaces[0].first, 1);
    EXPECT_EQ(selects[0].selectedInterfaces[1].first, 3);
    EXPECT_EQ(selects[0].selectedInterfaces[2].first, 6);
    EXPECT_EQ(selects[0].selectedInterfaces[0].second, (std::vector<ULONG>{4096, 4096}));
    EXPECT_EQ(Last().ConfigurationValue(), 1);

    ASSERT_NE(record->interfaceInfo, nullptr);
    EXPECT_EQ(record->interfaceInfo->InterfaceNumber, 1);
    ASSERT_EQ(record->interfaceInfo->NumberOfPipes, 2u);
    EXPECT_EQ(record->interfaceInfo->Pipes[0].EndpointAddress, 0x81);
    EXPECT_EQ(record->interfaceInfo->Pipes[1].EndpointAddress, 0x02);
    EXPECT_EQ(record->interfaceInfo->Pipes[0].PipeType, UsbdPipeTypeBulk);
    EXPECT_NE(record->interfaceInfo->Pipes[0].PipeHandle, nullptr);
    ASSERT_NE(record->pipeOpen, nullptr);
    EXPECT_EQ(record->pipeOpen[0] | record->pipeOpen[1], 0);

    // bNumInterfaces claims more interfaces than the descriptor holds: those present are taken.
    InstrumentSpec overclaimed = kstandin::usb::BulkInstrument();
    Bytes bytes = kstandin::usb::ConfigurationBytes(overclaimed);
    bytes[4] = 4;
    overclaimed.rawConfiguration = bytes;
    record = Start(overclaimed);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->deviceState, static_cast<ULONG>(Working));
    EXPECT_EQ(record->interfaceInfo->InterfaceNumber, 0);
}

TEST_F(ConfigurationTest, DescriptorsThatBreakTheirOwnLengthsAreRefused) {
    InstrumentSpec base = kstandin::usb::BulkInstrument();
    Bytes good = kstandin::usb::ConfigurationBytes(base);

    InstrumentSpec truncated = base;
    truncated.rawConfiguration = Bytes(good.begin(), good.begin() + 5);
    InstrumentSpec tinyTotal = base;
    Bytes tiny = good;
    tiny[2] = 4;
    tiny[3] = 0;
    tinyTotal.rawConfiguration = tiny;
    InstrumentSpec shortBody = base;
    Bytes body = good;
    body[2] = static_cast<UCHAR>(good.size() + 20);  // announces more than the device sends
    shortBody.rawConfiguration = body;
    InstrumentSpec noInterfaces = base;
    noInterfaces.rawConfiguration = Bytes{9, 2, 9, 0, 0, 1, 0, 0x80, 50};

    // Descriptors inside wTotalLength that are not whole. The good layout is the configuration
    // (9), the interface (9) at offset 9, then its endpoints (7 each) from offset 18.
    auto bent = [&](std::function<void(Bytes&)> change) {
        InstrumentSpec spec = base;
        Bytes bytes = good;
        change(bytes);
        bytes[2] = static_cast<UCHAR>(bytes.size());
        bytes[3] = static_cast<UCHAR>(bytes.size() >> 8);
        spec.rawConfiguration = bytes;
        return spec;
    };
    std::vector<InstrumentSpec> malformed = {
        // an interface descriptor whose header is the last two bytes
        bent([](Bytes& b) { b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE}); }),
        // an interface descriptor shorter than its fixed fields
        bent([](Bytes& b) { b.insert(b.end(), {4, USB_INTERFACE_DESCRIPTOR_TYPE, 1, 0}); }),
        // an endpoint descriptor shorter than its fixed fields
        bent([](Bytes& b) { b[18] = 5; b.erase(b.begin() + 23, b.begin() + 25); }),
        // a zero bLength in the middle
        bent([](Bytes& b) { b[18] = 0; }),
        // a class-specific descriptor that runs past the end
        bent([](Bytes& b) { b.insert(b.end(), {40, 0x24, 1, 2}); }),
        // one byte left over after the last descriptor
        bent([](Bytes& b) { b.push_back(7); }),
    };

    std::vector<const InstrumentSpec*> refused = {&truncated, &tinyTotal, &shortBody, &noInterfaces};
    for (const InstrumentSpec& spec : malformed) {
        refused.push_back(&spec);
    }
    for (const InstrumentSpec* spec : refused) {
        DeviceRecord* record = Start(*spec, STATUS_DEVICE_DATA_ERROR);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->deviceState, static_cast<ULONG>(NotStarted));
        EXPECT_EQ(record->interfaceInfo, nullptr);
        EXPECT_EQ(record->outstandingIo, 1);
    }
}

TEST_F(ConfigurationTest, EachAllocationOfTheStartCanFailAndLeavesNothingBehind) {
    // URB, URB, header, descriptor, interface list, select URB, interface copy, pipe flags.
    const unsigned kAllocations = 8;
    for (unsigned n = 1; n <= kAllocations + 1; ++n) {
        instruments_.push_back(std::make_unique<Instrument>(kstandin::usb::BulkInstrument()));
        Instrument& instrument = Last();
        PDEVICE_OBJECT device = AddInstrument(instrument);
        ASSERT_NE(device, nullptr);
        size_t before = DriverPoolBlocks();
        kstandin::FailAllocationAt(n);
        NTSTATUS status = kstandin::pnp::Start(instrument.Pdo());
        kstandin::FailAllocationAt(0);
        DeviceRecord* record = RecordOf(device);
        if (n <= kAllocations) {
            EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES) << "allocation " << n;
            EXPECT_EQ(record->deviceState, static_cast<ULONG>(NotStarted)) << "allocation " << n;
        } else {
            EXPECT_EQ(status, STATUS_SUCCESS) << "every allocation was counted";
        }
        EXPECT_EQ(record->outstandingIo, 1);
        RemoveInstrument(instrument);
        EXPECT_EQ(DriverPoolBlocks(), before) << "allocation " << n;
    }
}

TEST_F(ConfigurationTest, TheStartRecordsDescriptorsWakeUpAndTheStartTick) {
    kstandin::SetTickCount(0x1234567890ULL);
    InstrumentSpec spec = Product(0x2A4B, 0x0007);
    spec.configurationAttributes = 0xA0;  // remote wake-up
    DeviceRecord* record = Start(spec);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->vendorId, 0x2A4B);
    EXPECT_EQ(record->productId, 0x0007);
    EXPECT_EQ(record->serialIndex, 3);
    EXPECT_EQ(record->deviceDescriptor.bLength, 18);
    EXPECT_EQ(record->startTick, 0x34567890u);
    EXPECT_EQ(record->remoteWakeup, 1u);
    kstandin::WaitUntilQuiet(); // the power manager sends the request from its own thread
    EXPECT_TRUE(Last().WaitWakeHeld()) << "a device with remote wake-up is armed by the start";
    ASSERT_NE(record->configDescriptor, nullptr);
    Bytes expected = kstandin::usb::ConfigurationBytes(spec);
    EXPECT_EQ(Bytes(reinterpret_cast<PUCHAR>(record->configDescriptor),
                    reinterpret_cast<PUCHAR>(record->configDescriptor) + expected.size()),
              expected);
    EXPECT_EQ(record->serialCached, 0);
}

}  // namespace
}  // namespace kestrune_test
