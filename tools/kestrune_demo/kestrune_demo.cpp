// Loads the driver into the kernel stand-in, plugs in three simulated instruments and starts
// them, removes one, plugs in another and unloads, printing what the system would see.
#include <kstandin/kernel.h>
#include <kstandin/usb.h>

#include "kestrune.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t unit : text) {
        narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return narrow;
}

std::string Narrow(const WCHAR* units, size_t count) {
    return Narrow(std::u16string(reinterpret_cast<const char16_t*>(units), count));
}

const char* StateName(ULONG state) {
    static const char* const names[] = {"NotStarted",    "Stopped",         "Working",
                                        "PendingStop",   "PendingRemove",   "SurpriseRemoved",
                                        "Removed"};
    return state < 7 ? names[state] : "?";
}

void ShowDevices(const std::vector<PDEVICE_OBJECT>& pdos) {
    for (PDEVICE_OBJECT pdo : pdos) {
        PDEVICE_OBJECT device = kstandin::TopOfStack(pdo);
        DeviceRecord* record = static_cast<DeviceRecord*>(device->DeviceExtension);
        KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&record->ioCountLock);
        LONG outstandingIo = record->outstandingIo;
        KeReleaseSpinLock(&record->ioCountLock, oldIrql);
        bool enabled = false;
        for (const kstandin::InterfaceRecord& entry : kstandin::DeviceInterfaces()) {
            if (entry.pdo == pdo) {
                enabled = entry.enabled;
            }
        }
        std::printf("  %-24s %-8s product %04X  DOS link %-26s I/O count %d\n"
                    "      interface %s (%s)\n",
                    Narrow(kstandin::ToU16(record->deviceName)).c_str(),
                    StateName(DeviceStateOf(record)), record->productId,
                    record->dosLinkName[0] != 0
                        ? Narrow(kstandin::ToU16(record->dosLinkName)).c_str()
                        : "(none)",
                    static_cast<int>(outstandingIo),
                    Narrow(record->interfaceName.Buffer, record->interfaceName.Length / 2).c_str(),
                    enabled ? "enabled" : "registered, not enabled");
    }
}

}  // namespace

int main() {
    int findings = 0;
    kstandin::ResetKernel();
    kstandin::verifier::SetHandler([&findings](const kstandin::verifier::Finding& finding) {
        ++findings;
        std::printf("driver verifier: %s: %s\n", kstandin::verifier::RuleName(finding.rule),
                    finding.message.c_str());
    });

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::string error;
    auto driver = kstandin::LoadedDriver::Load(
        KESTRUNE_DRIVER_PATH, u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kestrune",
        &status, &error);
    if (!driver) {
        std::printf("load failed: %s\n", error.c_str());
        return 1;
    }
    std::printf("DriverEntry: 0x%08X\n", static_cast<unsigned>(status));

    // Instruments of the maker with product IDs 2, 3 and 4, which get DOS links "1" to "3".
    std::vector<std::unique_ptr<kstandin::usb::Instrument>> instruments;
    std::vector<PDEVICE_OBJECT> pdos;
    auto plugIn = [&](USHORT productId) {
        kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
        spec.productId = productId;
        instruments.push_back(std::make_unique<kstandin::usb::Instrument>(spec));
        PDEVICE_OBJECT pdo = instruments.back()->PlugIn();
        NTSTATUS added = driver->AddDevice(pdo);
        NTSTATUS started = kstandin::pnp::Start(pdo);
        std::printf("instrument %04X: AddDevice 0x%08X, start 0x%08X\n", productId,
                    static_cast<unsigned>(added), static_cast<unsigned>(started));
        pdos.push_back(pdo);
    };
    for (USHORT productId : {0x0002, 0x0003, 0x0004}) {
        plugIn(productId);
    }
    std::printf("Three devices:\n");
    ShowDevices(pdos);

    std::printf("Removing the first device: 0x%08X\n",
                static_cast<unsigned>(kstandin::pnp::Remove(pdos[0])));
    instruments[0]->DeletePdo();
    pdos.erase(pdos.begin());

    std::printf("A fourth device takes the freed name:\n");
    plugIn(0x0010);
    ShowDevices(pdos);

    for (PDEVICE_OBJECT each : pdos) {
        kstandin::pnp::Remove(each);
    }
    instruments.clear();
    driver->Unload();
    driver.reset();
    std::printf("Unloaded. Pool blocks left: %zu. Verifier findings: %d.\n",
                kstandin::OutstandingPool().size(), findings);
    return findings == 0 && kstandin::OutstandingPool().empty() ? 0 : 1;
}
