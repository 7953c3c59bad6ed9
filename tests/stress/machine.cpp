// The machine side of a stress sequence: kernel stand-in, driver and USB instruments.
#include "machine.h"

#include <kstandin/kernel.h>
#include <kstandin/usb.h>

#include <mutex>

namespace stress {

struct Machine::Impl {
    std::unique_ptr<kstandin::LoadedDriver> driver;
    // Instruments are added by one thread while others use those already there.
    mutable std::mutex mutex;
    std::vector<std::shared_ptr<kstandin::usb::Instrument>> instruments;
    std::vector<PDEVICE_OBJECT> pdos;

    std::shared_ptr<kstandin::usb::Instrument> At(int index) const {
        std::lock_guard<std::mutex> lock(mutex);
        return instruments.at(static_cast<size_t>(index));
    }
    PDEVICE_OBJECT Pdo(int index) const {
        std::lock_guard<std::mutex> lock(mutex);
        return pdos.at(static_cast<size_t>(index));
    }
};

namespace {

constexpr UCHAR kInEndpoint = 0x81;

std::mutex& FindingsMutex() {
    static std::mutex mutex;
    return mutex;
}

std::vector<std::string>& Findings() {
    static std::vector<std::string> findings;
    return findings;
}

std::u16string Hex4(uint16_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4)
        text.push_back(static_cast<char16_t>(digits[(value >> shift) & 0xF]));
    return text;
}

} // namespace

Machine::Machine(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<Machine> Machine::Boot(const std::string& driverPath, std::string* error) {
    kstandin::ResetKernel();
    kstandin::verifier::SetHandler([](const kstandin::verifier::Finding& finding) {
        std::lock_guard<std::mutex> lock(FindingsMutex());
        Findings().push_back(std::string(kstandin::verifier::RuleName(finding.rule)) + ": " +
                             finding.message);
    });
    auto impl = std::make_unique<Impl>();
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    impl->driver = kstandin::LoadedDriver::Load(
        driverPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kestrune", &entry,
        error);
    if (!impl->driver) {
        if (error->empty())
            *error = "DriverEntry failed";
        return nullptr;
    }
    return std::unique_ptr<Machine>(new Machine(std::move(impl)));
}

Machine::~Machine() {
    if (impl_->driver)
        Unload();
}

int Machine::PlugIn(const InstrumentSetup& setup, std::string* error) {
    kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument(setup.maxPacketSize);
    spec.productId = setup.productId;
    spec.strings[spec.serialIndex] = setup.serialNumber;
    if (setup.remoteWakeup)
        spec.configurationAttributes |= USB_CONFIG_REMOTE_WAKEUP;
    spec.vendorAnswer = setup.answersVendorProbe ? kstandin::usb::ControlAnswer::Succeed
                                                 : kstandin::usb::ControlAnswer::Stall;
    auto instrument = std::make_shared<kstandin::usb::Instrument>(spec);
    kstandin::PdoOptions options;
    options.instanceId = u"USB\\VID_" + Hex4(spec.vendorId) + u"&PID_" + Hex4(spec.productId) +
                         u"\\" + setup.serialNumber;
    PDEVICE_OBJECT pdo = instrument->PlugIn(options);
    NTSTATUS status = pdo != nullptr ? impl_->driver->AddDevice(pdo) : STATUS_NO_SUCH_DEVICE;
    if (!NT_SUCCESS(status)) {
        *error = "AddDevice failed";
        return -1;
    }
    DEVICE_CAPABILITIES capabilities{};
    status = kstandin::pnp::QueryCapabilities(pdo, &capabilities);
    if (NT_SUCCESS(status))
        status = kstandin::pnp::Start(pdo);
    int index;
    {
        std::lock_guard<std::mutex> lock(impl_->mutex);
        impl_->instruments.push_back(std::move(instrument));
        impl_->pdos.push_back(pdo);
        index = static_cast<int>(impl_->pdos.size() - 1);
    }
    if (!NT_SUCCESS(status)) {
        *error = "the instrument did not start";
        Remove(index);
        return -1;
    }
    return index;
}

std::u16string Machine::InterfacePath(int instrument) const {
    for (const kstandin::InterfaceRecord& each : kstandin::DeviceInterfaces()) {
        if (each.pdo == impl_->Pdo(instrument) && each.symbolicLink.size() > 4)
            return u"\\\\?\\" + each.symbolicLink.substr(4);
    }
    return u"";
}

void Machine::QueueIn(int instrument, const std::vector<uint8_t>& bytes, bool zeroLengthPacket) {
    impl_->At(instrument)->QueueIn(kInEndpoint, bytes, zeroLengthPacket);
}

void Machine::QueueZeroLengthPacket(int instrument) {
    impl_->At(instrument)->QueueZeroLengthPacket(kInEndpoint);
}

void Machine::StallNextIn(int instrument) {
    impl_->At(instrument)->InjectTransferError(kInEndpoint);
}

void Machine::SetStringAnswer(int instrument, StringAnswer answer) {
    using kstandin::usb::ControlAnswer;
    impl_->At(instrument)
        ->SetStringAnswer(answer == StringAnswer::Answer  ? ControlAnswer::Succeed
                          : answer == StringAnswer::Stall ? ControlAnswer::Stall
                                                          : ControlAnswer::NeverAnswer);
}

bool Machine::SignalWakeup(int instrument) {
    return impl_->At(instrument)->SignalWakeup();
}

bool Machine::WaitWakeHeld(int instrument) const {
    return impl_->At(instrument)->WaitWakeHeld();
}

bool Machine::Connected(int instrument) const {
    return impl_->At(instrument)->Connected();
}

uint32_t Machine::QueryStop(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::QueryStop(impl_->Pdo(instrument)));
}
uint32_t Machine::CancelStop(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::CancelStop(impl_->Pdo(instrument)));
}
uint32_t Machine::Stop(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::Stop(impl_->Pdo(instrument)));
}
uint32_t Machine::Start(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::Start(impl_->Pdo(instrument)));
}
uint32_t Machine::QueryRemove(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::QueryRemove(impl_->Pdo(instrument)));
}
uint32_t Machine::CancelRemove(int instrument) {
    return static_cast<uint32_t>(kstandin::pnp::CancelRemove(impl_->Pdo(instrument)));
}

uint32_t Machine::SurpriseRemove(int instrument) {
    impl_->At(instrument)->Unplug();
    return static_cast<uint32_t>(kstandin::pnp::SurpriseRemove(impl_->Pdo(instrument)));
}

uint32_t Machine::Remove(int instrument) {
    NTSTATUS status = kstandin::pnp::Remove(impl_->Pdo(instrument));
    // The power manager lets go of the stack only once its requests have settled.
    kstandin::WaitUntilQuiet();
    impl_->At(instrument)->DeletePdo();
    return static_cast<uint32_t>(status);
}

uint32_t Machine::QuerySystemPower(int instrument, int state) {
    return static_cast<uint32_t>(kstandin::power::QuerySystemPower(
        impl_->Pdo(instrument), static_cast<SYSTEM_POWER_STATE>(state)));
}
uint32_t Machine::SetSystemPower(int instrument, int state) {
    return static_cast<uint32_t>(kstandin::power::SetSystemPower(
        impl_->Pdo(instrument), static_cast<SYSTEM_POWER_STATE>(state)));
}
uint32_t Machine::QueryDevicePower(int instrument, int state) {
    return static_cast<uint32_t>(kstandin::power::QueryDevicePower(
        impl_->Pdo(instrument), static_cast<DEVICE_POWER_STATE>(state)));
}
uint32_t Machine::SetDevicePower(int instrument, int state) {
    return static_cast<uint32_t>(kstandin::power::SetDevicePower(
        impl_->Pdo(instrument), static_cast<DEVICE_POWER_STATE>(state)));
}
int Machine::DevicePower(int instrument) const {
    return static_cast<int>(impl_->At(instrument)->DevicePower());
}

void Machine::WaitUntilQuiet() {
    kstandin::WaitUntilQuiet();
}

unsigned Machine::OutstandingIrps() const {
    return kstandin::OutstandingIrps();
}

size_t Machine::Unload() {
    kstandin::WaitUntilQuiet();
    kstandin::WaitForDeferredCloses();
    impl_->driver->Unload();
    impl_->driver.reset();
    kstandin::verifier::CheckTeardown();
    size_t left = 0;
    for (const kstandin::PoolBlock& block : kstandin::OutstandingPool()) {
        // The driver's tag "Bulk" and the USB support library's "USBD".
        if (block.tag == 0x6B6C7542 || block.tag == 0x44425355)
            ++left;
    }
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->instruments.clear();
    impl_->pdos.clear();
    return left;
}

std::vector<std::string> Machine::TakeFindings() {
    std::lock_guard<std::mutex> lock(FindingsMutex());
    std::vector<std::string> taken;
    taken.swap(Findings());
    return taken;
}

} // namespace stress
