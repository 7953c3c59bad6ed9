// The simulated PC: kernel stand-in, driver, USB instruments, and the process's I/O at the end.
#include "simulated_pc.h"

#include "win32_app_sim.h"

#include <kstandin/kernel.h>
#include <kstandin/usb.h>

#include <atomic>
#include <cstdio>

namespace kswin32::app {

struct SimulatedPc::Impl {
    struct Plugged {
        std::unique_ptr<kstandin::usb::Instrument> instrument;
        PDEVICE_OBJECT pdo = nullptr;
        bool surpriseRemoved = false;
    };
    std::unique_ptr<kstandin::LoadedDriver> driver;
    std::vector<Plugged> instruments;
};

namespace {

std::u16string Hex4(uint16_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::u16string text;
    for (int shift = 12; shift >= 0; shift -= 4)
        text.push_back(static_cast<char16_t>(digits[(value >> shift) & 0xF]));
    return text;
}

std::atomic<size_t>& FindingCount() {
    static std::atomic<size_t> count{0};
    return count;
}

} // namespace

SimulatedPc::SimulatedPc(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

std::unique_ptr<SimulatedPc> SimulatedPc::Boot(const std::string& driverPath,
                                               const std::vector<InstrumentConfig>& instruments,
                                               std::string* error) {
    kstandin::ResetKernel();
    auto impl = std::make_unique<Impl>();
    // Findings are reported and counted instead of ending the process, so that a program's run
    // finishes and its caller sees them.
    kstandin::verifier::SetHandler([](const kstandin::verifier::Finding& finding) {
        std::fprintf(stderr, "driver verifier: %s: %s\n",
                     kstandin::verifier::RuleName(finding.rule), finding.message.c_str());
        FindingCount().fetch_add(1);
    });
    NTSTATUS entry = STATUS_UNSUCCESSFUL;
    impl->driver = kstandin::LoadedDriver::Load(
        driverPath, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kestrune", &entry,
        error);
    if (!impl->driver) {
        if (error && error->empty())
            *error = "DriverEntry failed";
        return nullptr;
    }
    std::unique_ptr<SimulatedPc> pc(new SimulatedPc(std::move(impl)));
    for (const InstrumentConfig& config : instruments) {
        if (pc->PlugIn(config, error) == SIZE_MAX)
            return nullptr;
    }
    return pc;
}

size_t SimulatedPc::PlugIn(const InstrumentConfig& config, std::string* error) {
    kstandin::usb::InstrumentSpec description = kstandin::usb::BulkInstrument(config.maxPacketSize);
    description.vendorId = config.vendorId;
    description.productId = config.productId;
    description.strings[description.manufacturerIndex] = config.manufacturer;
    description.strings[description.productIndex] = config.product;
    description.strings[description.serialIndex] = config.serialNumber;
    description.vendorAnswer = config.answersVendorProbe ? kstandin::usb::ControlAnswer::Succeed
                                                         : kstandin::usb::ControlAnswer::Stall;
    Impl::Plugged plugged;
    plugged.instrument = std::make_unique<kstandin::usb::Instrument>(description);
    if (config.loopback)
        plugged.instrument->SetLoopback(0x02, 0x81);
    // USB device instance IDs read "USB\VID_xxxx&PID_xxxx\<serial number>".
    kstandin::PdoOptions options;
    options.instanceId = u"USB\\VID_" + Hex4(config.vendorId) + u"&PID_" + Hex4(config.productId) +
                         u"\\" + config.serialNumber;
    plugged.pdo = plugged.instrument->PlugIn(options);
    NTSTATUS added = plugged.pdo ? impl_->driver->AddDevice(plugged.pdo) : STATUS_UNSUCCESSFUL;
    NTSTATUS started = NT_SUCCESS(added) ? kstandin::pnp::Start(plugged.pdo) : added;
    if (!NT_SUCCESS(started)) {
        if (error)
            *error = "an instrument did not start";
        if (NT_SUCCESS(added))
            kstandin::pnp::Remove(plugged.pdo);
        return SIZE_MAX;
    }
    impl_->instruments.push_back(std::move(plugged));
    return impl_->instruments.size() - 1;
}

void SimulatedPc::SurpriseRemove(size_t index) {
    Impl::Plugged& plugged = impl_->instruments.at(index);
    plugged.instrument->Unplug();
    kstandin::pnp::SurpriseRemove(plugged.pdo);
    plugged.surpriseRemoved = true;
}

void SimulatedPc::QueueIn(size_t index, const std::vector<uint8_t>& data, bool zeroLengthPacket) {
    impl_->instruments.at(index).instrument->QueueIn(0x81, data, zeroLengthPacket);
}

std::vector<std::vector<uint8_t>> SimulatedPc::OutTransfers(size_t index) const {
    return impl_->instruments.at(index).instrument->OutData(0x02);
}

size_t SimulatedPc::VerifierFindings() {
    return FindingCount().load();
}

SimulatedPc::~SimulatedPc() {
    EndProcessIo();
    for (Impl::Plugged& plugged : impl_->instruments) {
        kstandin::pnp::Remove(plugged.pdo);
        plugged.instrument->DeletePdo();
    }
    impl_->instruments.clear();
    impl_->driver->Unload();
    impl_->driver.reset();
    kstandin::verifier::CheckTeardown();
    if (!kstandin::OutstandingPool().empty()) {
        std::fprintf(stderr, "pool left after unload: %zu blocks\n",
                     kstandin::OutstandingPool().size());
        FindingCount().fetch_add(1);
    }
}

} // namespace kswin32::app
