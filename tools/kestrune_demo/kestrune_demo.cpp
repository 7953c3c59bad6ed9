// Loads the driver into the kernel stand-in, adds three devices, removes one, adds another and
// unloads, printing what the system would see at each step.
#include <kstandin/kernel.h>

#include "kestrune.h"

#include <cstdio>
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
        const DeviceRecord* record = static_cast<const DeviceRecord*>(device->DeviceExtension);
        bool enabled = false;
        for (const kstandin::InterfaceRecord& entry : kstandin::DeviceInterfaces()) {
            if (entry.pdo == pdo) {
                enabled = entry.enabled;
            }
        }
        size_t nameLength = 0;
        while (record->deviceName[nameLength] != 0) {
            ++nameLength;
        }
        std::printf("  %-24s state %-10s I/O count %d  interface %s (%s)\n",
                    Narrow(record->deviceName, nameLength).c_str(),
                    StateName(record->deviceState), static_cast<int>(record->outstandingIo),
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

    std::vector<PDEVICE_OBJECT> pdos;
    for (int i = 0; i < 3; ++i) {
        PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
        status = driver->AddDevice(pdo);
        std::printf("AddDevice #%d: 0x%08X\n", i + 1, static_cast<unsigned>(status));
        pdos.push_back(pdo);
    }
    std::printf("Three devices:\n");
    ShowDevices(pdos);

    std::printf("Removing the first device: 0x%08X\n",
                static_cast<unsigned>(kstandin::pnp::Remove(pdos[0])));
    kstandin::DeleteTestPdo(pdos[0]);
    pdos.erase(pdos.begin());

    PDEVICE_OBJECT pdo = kstandin::CreateTestPdo();
    status = driver->AddDevice(pdo);
    std::printf("AddDevice #4: 0x%08X (takes the freed name)\n", static_cast<unsigned>(status));
    pdos.push_back(pdo);
    ShowDevices(pdos);

    for (PDEVICE_OBJECT each : pdos) {
        kstandin::pnp::Remove(each);
        kstandin::DeleteTestPdo(each);
    }
    driver->Unload();
    driver.reset();
    std::printf("Unloaded. Pool blocks left: %zu. Verifier findings: %d.\n",
                kstandin::OutstandingPool().size(), findings);
    return findings == 0 && kstandin::OutstandingPool().empty() ? 0 : 1;
}
