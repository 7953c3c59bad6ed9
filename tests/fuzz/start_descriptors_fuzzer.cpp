// Starts the driver on a device whose device, configuration and string descriptors come from the
// input: a configuration built from interfaces and endpoints in any order and then made to lie
// (wTotalLength, bLength, bNumInterfaces), or raw bytes. The start succeeds or fails cleanly; a
// started device holds exactly the bytes the device returned, its pipes are endpoints that those
// bytes describe, and the vendor probe goes out exactly for the plain layout.
#include "driver_fuzz_support.h"

#include <cstring>

using namespace kestrune_fuzz;
using kstandin::usb::InstrumentSpec;

namespace {

// A configuration from interface and endpoint records of the input, then bent by it.
Bytes StructuredConfiguration(Input& in) {
    InstrumentSpec spec;
    unsigned interfaces = in.Byte() % 5;
    for (unsigned i = 0; i < interfaces; ++i) {
        kstandin::usb::InterfaceSpec interface;
        interface.number = in.Byte() % 4;
        interface.alternateSetting = in.Byte() % 3 == 0 ? 1 : 0;
        unsigned endpoints = in.Byte() % 9;
        for (unsigned e = 0; e < endpoints; ++e) {
            kstandin::usb::EndpointSpec endpoint;
            endpoint.address = in.Byte();
            endpoint.attributes = in.Byte() & 3;
            endpoint.maxPacketSize = static_cast<USHORT>(8u << (in.Byte() % 7));
            interface.endpoints.push_back(endpoint);
        }
        if (in.Byte() % 4 == 0) {
            interface.extraDescriptors.push_back(in.Counted8());
        }
        spec.interfaces.push_back(interface);
    }
    Bytes bytes = kstandin::usb::ConfigurationBytes(spec);
    uint8_t lies = in.Byte();
    if (lies & 1) { // wTotalLength off by a signed amount, both ways
        int total = bytes[2] | (bytes[3] << 8);
        total += static_cast<int8_t>(in.Byte());
        bytes[2] = static_cast<UCHAR>(total & 0xFF);
        bytes[3] = static_cast<UCHAR>((total >> 8) & 0xFF);
    }
    if (lies & 2) { // the header's own bLength
        bytes[0] = in.Byte();
    }
    if (lies & 4) { // bNumInterfaces other than what follows
        bytes[4] = in.Byte();
    }
    if (lies & 8) { // any byte of the rest
        size_t at = in.Word() % bytes.size();
        bytes[at] = in.Byte();
    }
    if (lies & 16) { // cut short or padded beyond what it announces
        size_t length = in.Word() % (bytes.size() + 32);
        bytes.resize(length, in.Byte());
    }
    return bytes;
}

// Endpoint addresses that the first `total` bytes describe, walking descriptor headers.
std::vector<UCHAR> EndpointAddresses(const Bytes& configuration, size_t total) {
    std::vector<UCHAR> addresses;
    size_t at = 0;
    while (at + 2 <= total) {
        UCHAR length = configuration[at];
        if (configuration[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && at + 3 <= total) {
            addresses.push_back(configuration[at + 2]);
        }
        if (length == 0) {
            break;
        }
        at += length;
    }
    return addresses;
}

bool PlainLayout(const Bytes& configuration) {
    size_t total = configuration[2] | (configuration[3] << 8);
    if (total <= 13) {
        return false;
    }
    return total == 9 + 9 * size_t{configuration[4]} + 7 * size_t{configuration[13]};
}

// What a started device must show of the bytes its device returned.
void CheckStarted(PluggedDevice& plugged, const Bytes& configuration, bool probeAnswered) {
    DeviceRecord* record = plugged.record();
    Require(plugged.State() == Working, "a device whose start succeeded is Working");
    Require(record->configDescriptor != nullptr && record->interfaceInfo != nullptr &&
                record->pipeOpen != nullptr,
            "a started device holds its configuration, interface and pipe table");
    size_t total = record->configDescriptor->wTotalLength;
    Require(total >= 9 && total <= configuration.size(),
            "the kept configuration is no longer than what the device returned");
    Require(std::memcmp(record->configDescriptor, configuration.data(), total) == 0,
            "the kept configuration is byte for byte what the device returned");
    std::vector<UCHAR> endpoints = EndpointAddresses(configuration, total);
    Require(record->interfaceInfo->NumberOfPipes <= endpoints.size(),
            "no more pipes than endpoint descriptors");
    for (ULONG i = 0; i < record->interfaceInfo->NumberOfPipes; ++i) {
        UCHAR address = record->interfaceInfo->Pipes[i].EndpointAddress;
        bool described = false;
        for (UCHAR endpoint : endpoints) {
            described = described || endpoint == address;
        }
        Require(described, "every pipe is an endpoint the configuration describes");
    }
    size_t probes = plugged.instrument().CountUrbs(URB_FUNCTION_VENDOR_INTERFACE);
    Require((probes != 0) == PlainLayout(configuration),
            "the vendor probe goes out exactly for the plain layout");
    Require(record->readChunkSize == (probes != 0 && probeAnswered ? kLargeChunkSize : 2048u),
            "the read chunk size is 65536 only after an answered probe");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Input in(data, size);
    ChooseLowerCompletion(in);
    uint8_t flags = in.Byte();

    InstrumentSpec spec = PlainInstrument();
    spec.vendorAnswer =
        (flags & 4) ? kstandin::usb::ControlAnswer::Succeed : kstandin::usb::ControlAnswer::Stall;
    if (flags & 1) {
        spec.rawDeviceDescriptor = in.Counted8();
    }
    Bytes configuration = (flags & 2) ? in.Counted16(1024) : StructuredConfiguration(in);
    spec.rawConfiguration = configuration;
    for (UCHAR index = 1; index <= 3; ++index) {
        if (flags & (16 << (index - 1))) {
            spec.rawStrings[index] = in.Counted8();
        }
    }

    PluggedDevice plugged(spec);
    NTSTATUS started = kstandin::pnp::Start(plugged.pdo());
    if (NT_SUCCESS(started)) {
        CheckStarted(plugged, configuration, (flags & 4) != 0);
        // A stop and a second start configure the device afresh from the same bytes.
        if (flags & 8) {
            Require(kstandin::pnp::QueryStop(plugged.pdo()) == STATUS_SUCCESS,
                    "an idle device may stop");
            Require(kstandin::pnp::Stop(plugged.pdo()) == STATUS_SUCCESS, "the stop succeeds");
            Require(plugged.record()->configDescriptor == nullptr &&
                        plugged.record()->interfaceInfo == nullptr,
                    "the stop releases the configuration");
            if (NT_SUCCESS(kstandin::pnp::Start(plugged.pdo()))) {
                CheckStarted(plugged, configuration, (flags & 4) != 0);
            }
        }
    } else {
        Require(plugged.State() != Working, "a device whose start failed is not Working");
    }
    plugged.Remove((flags & 128) != 0);
    return 0;
}
