// Descriptor bytes of an instrument, built from its spec as a device would report them.
#include <kstandin/usb.h>

namespace kstandin::usb {

namespace {
void Put16(Bytes& out, USHORT value) {
    out.push_back(static_cast<UCHAR>(value & 0xFF));
    out.push_back(static_cast<UCHAR>(value >> 8));
}
}  // namespace

InstrumentSpec BulkInstrument(USHORT maxPacketSize) {
    InstrumentSpec spec;
    InterfaceSpec interface;
    interface.endpoints = {{0x81, USB_ENDPOINT_TYPE_BULK, maxPacketSize, 0},
                           {0x02, USB_ENDPOINT_TYPE_BULK, maxPacketSize, 0}};
    spec.interfaces = {interface};
    spec.strings = {{1, u"Trelvo Instruments"}, {2, u"Bulk Instrument"}, {3, u"SN000123"}};
    return spec;
}

Bytes DeviceDescriptorBytes(const InstrumentSpec& spec) {
    if (spec.rawDeviceDescriptor) return *spec.rawDeviceDescriptor;
    Bytes out = {18, USB_DEVICE_DESCRIPTOR_TYPE};
    Put16(out, 0x0200);
    out.insert(out.end(), {0, 0, 0, 64});  // class in the interfaces; 64-byte default pipe
    Put16(out, spec.vendorId);
    Put16(out, spec.productId);
    Put16(out, spec.bcdDevice);
    out.insert(out.end(), {spec.manufacturerIndex, spec.productIndex, spec.serialIndex, 1});
    return out;
}

Bytes ConfigurationBytes(const InstrumentSpec& spec) {
    if (spec.rawConfiguration) return *spec.rawConfiguration;
    Bytes out = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<UCHAR>(spec.interfaces.size()),
                 spec.configurationValue, 0, spec.configurationAttributes, spec.maxPower};
    for (const InterfaceSpec& interface : spec.interfaces) {
        out.insert(out.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, interface.number, interface.alternateSetting,
                               static_cast<UCHAR>(interface.endpoints.size()), interface.interfaceClass,
                               interface.interfaceSubClass, interface.interfaceProtocol, 0});
        for (const Bytes& extra : interface.extraDescriptors) out.insert(out.end(), extra.begin(), extra.end());
        for (const EndpointSpec& endpoint : interface.endpoints) {
            out.insert(out.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint.address, endpoint.attributes});
            Put16(out, endpoint.maxPacketSize);
            out.push_back(endpoint.interval);
        }
    }
    out[2] = static_cast<UCHAR>(out.size() & 0xFF);
    out[3] = static_cast<UCHAR>(out.size() >> 8);
    return out;
}

Bytes StringDescriptorBytes(const std::u16string& text) {
    Bytes out = {static_cast<UCHAR>(2 + 2 * text.size()), USB_STRING_DESCRIPTOR_TYPE};
    for (char16_t unit : text) Put16(out, static_cast<USHORT>(unit));
    return out;
}

}  // namespace kstandin::usb
