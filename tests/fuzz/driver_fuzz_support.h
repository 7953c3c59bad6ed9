// What the driver fuzzers share: the driver loaded once per process into the kernel stand-in,
// an instrument plugged in and removed per input, a reader of the input bytes, and the checks
// every input ends with (no request in flight, no pool block of the device left behind).
#pragma once

#include "fuzz_input.h"

#include <kstandin/kernel.h>
#include <kstandin/usb.h>

#include "kestrune.h"
#include "kestrune_ioctl.h"

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace kestrune_fuzz {

using kstandin::usb::Bytes;

// The driver stays loaded for the whole run: an input costs a device, not a load.
inline kstandin::LoadedDriver& Driver() {
    static kstandin::LoadedDriver* driver = [] {
        kstandin::ResetKernel();
        NTSTATUS entry = STATUS_UNSUCCESSFUL;
        std::string error;
        auto loaded = kstandin::LoadedDriver::Load(
            KESTRUNE_DRIVER_PATH,
            u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kestrune", &entry, &error);
        if (!loaded || entry != STATUS_SUCCESS) {
            std::fprintf(stderr, "the driver did not load: %s (DriverEntry 0x%08X)\n",
                         error.c_str(), static_cast<unsigned>(entry));
            std::abort();
        }
        return loaded.release(); // never unloaded: the process ends with it
    }();
    return *driver;
}

inline ULONG& DriverOptions() {
    return *static_cast<ULONG*>(Driver().Symbol("driverOptions"));
}

// Pool blocks of the driver (its tag) and of the USB support routines ("USBD").
inline size_t DevicePoolBlocks() {
    size_t count = 0;
    for (const kstandin::PoolBlock& block : kstandin::OutstandingPool()) {
        if (block.tag == kPoolTag || block.tag == 0x44425355) {
            ++count;
        }
    }
    return count;
}

// How the lower stand-ins complete requests for this input: inside the call, later from a
// dispatch-level thread, or either at random.
inline void ChooseLowerCompletion(Input& in) {
    switch (in.Byte() % 3) {
    case 0:
        kstandin::SetLowerCompletion(kstandin::LowerCompletion::AtOnce);
        break;
    case 1:
        kstandin::SetLowerCompletion(kstandin::LowerCompletion::Later);
        break;
    default:
        kstandin::SetLowerCompletion(kstandin::LowerCompletion::Random);
        break;
    }
}

// One instrument for one input: plugged in and added at construction, removed by Remove() or at
// destruction, after which nothing of the device may be left.
class PluggedDevice {
  public:
    explicit PluggedDevice(const kstandin::usb::InstrumentSpec& spec)
        : instrument_(std::make_unique<kstandin::usb::Instrument>(spec)) {
        Driver();
        poolBefore_ = DevicePoolBlocks();
        PDEVICE_OBJECT pdo = instrument_->PlugIn();
        Require(pdo != nullptr, "the instrument's PDO was created");
        Require(Driver().AddDevice(pdo) == STATUS_SUCCESS, "AddDevice succeeds for a USB device");
        device_ = kstandin::TopOfStack(pdo);
        record_ = RecordOf(device_);
    }
    ~PluggedDevice() { Remove(false); }
    PluggedDevice(const PluggedDevice&) = delete;
    PluggedDevice& operator=(const PluggedDevice&) = delete;

    kstandin::usb::Instrument& instrument() { return *instrument_; }
    PDEVICE_OBJECT device() const { return device_; }
    DeviceRecord* record() const { return record_; }
    PDEVICE_OBJECT pdo() const { return instrument_->Pdo(); }
    bool removed() const { return removed_; }
    ULONG State() const { return DeviceStateOf(record_); }

    // Closes every handle still open, removes the device (after a surprise removal when asked)
    // and checks that the removal left nothing behind.
    void Remove(bool surprise) {
        if (removed_) {
            return;
        }
        removed_ = true;
        if (surprise) {
            instrument_->Unplug();
            Require(kstandin::pnp::SurpriseRemove(pdo()) == STATUS_SUCCESS,
                    "surprise removal succeeds");
        }
        Require(kstandin::pnp::Remove(pdo()) == STATUS_SUCCESS, "removal succeeds");
        for (PFILE_OBJECT file : files_) {
            kstandin::CloseFile(file);
        }
        files_.clear();
        instrument_->DeletePdo();
        kstandin::WaitUntilQuiet();
        Require(kstandin::OutstandingIrps() == 0, "no request is in flight after the removal");
        Require(kstandin::verifier::CheckTeardown() == 0, "no request is held after the removal");
        Require(DevicePoolBlocks() == poolBefore_,
                "the removal released every pool block of the device");
        kstandin::TrimPoolRecords();
    }

    // Files opened by the fuzzer, closed at removal (closes succeed in every state).
    void Keep(PFILE_OBJECT file) { files_.push_back(file); }
    void Forget(PFILE_OBJECT file) {
        for (auto it = files_.begin(); it != files_.end(); ++it) {
            if (*it == file) {
                files_.erase(it);
                return;
            }
        }
    }
    const std::vector<PFILE_OBJECT>& files() const { return files_; }

  private:
    std::unique_ptr<kstandin::usb::Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    size_t poolBefore_ = 0;
    bool removed_ = false;
    std::vector<PFILE_OBJECT> files_;
};

// A started bulk instrument: IN 0x81 (pipe 0), OUT 0x02 (pipe 1), strings 1 to 3.
inline kstandin::usb::InstrumentSpec PlainInstrument(USHORT maxPacketSize = 64) {
    return kstandin::usb::BulkInstrument(maxPacketSize);
}

} // namespace kestrune_fuzz
