// Loads the driver into the kernel stand-in and reaches into its device records.
#pragma once

#include <kstandin/kernel.h>
#include <kstandin/testing.h>
#include <kstandin/usb.h>

#include "kestrune.h"

#include <cstdint>
#include <memory>
#include <string>
#include <type_traits>

namespace kestrune_test {

inline const std::u16string kRegistryPath =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\kestrune";

class DriverTest : public kstandin::testing::KernelTest {
protected:
    // Loads a fresh image of the driver and runs DriverEntry; the test fails if either fails.
    void LoadDriver(const std::u16string& registryPath = kRegistryPath) {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::string error;
        driver_ = kstandin::LoadedDriver::Load(KESTRUNE_DRIVER_PATH, registryPath, &status, &error);
        ASSERT_TRUE(driver_) << error;
        ASSERT_EQ(status, STATUS_SUCCESS);
    }

    // Creates a PDO and lets the driver add its device; returns the driver's device object.
    PDEVICE_OBJECT AddDevice(PDEVICE_OBJECT* pdoOut = nullptr, ULONG pdoFlags = 0) {
        kstandin::PdoOptions options;
        options.flags = pdoFlags;
        PDEVICE_OBJECT pdo = kstandin::CreateTestPdo(options);
        if (pdoOut != nullptr) {
            *pdoOut = pdo;
        }
        NTSTATUS status = driver_->AddDevice(pdo);
        EXPECT_EQ(status, STATUS_SUCCESS);
        return status == STATUS_SUCCESS ? kstandin::TopOfStack(pdo) : nullptr;
    }

    // Removes the device through the Plug and Play manager and deletes its PDO.
    void RemoveDevice(PDEVICE_OBJECT pdo) {
        EXPECT_EQ(kstandin::pnp::Remove(pdo), STATUS_SUCCESS);
        kstandin::DeleteTestPdo(pdo);
    }

    // Plugs the instrument in and lets the driver add its device; returns the driver's device.
    PDEVICE_OBJECT AddInstrument(kstandin::usb::Instrument& instrument) {
        PDEVICE_OBJECT pdo = instrument.PlugIn();
        EXPECT_NE(pdo, nullptr);
        NTSTATUS status = pdo != nullptr ? driver_->AddDevice(pdo) : STATUS_NO_SUCH_DEVICE;
        EXPECT_EQ(status, STATUS_SUCCESS);
        return status == STATUS_SUCCESS ? kstandin::TopOfStack(pdo) : nullptr;
    }

    // Removes the instrument's device through the Plug and Play manager and deletes the PDO.
    void RemoveInstrument(kstandin::usb::Instrument& instrument) {
        EXPECT_EQ(kstandin::pnp::Remove(instrument.Pdo()), STATUS_SUCCESS);
        instrument.DeletePdo();
    }

    template <typename T> T* Global(const char* name) {
        return static_cast<T*>(driver_->Symbol(name));
    }

    template <typename Fn> Fn* Routine(const char* name) {
        return reinterpret_cast<Fn*>(driver_->Symbol(name));
    }

    std::unique_ptr<kstandin::LoadedDriver> driver_;
};

// Reads a field the driver changes under one of its spin locks from another thread. The load is
// atomic as well: the driver also reads some such fields (the states) with interlocked
// operations outside the lock.
template <typename T> inline T ReadLocked(KSPIN_LOCK* lock, const T* field) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(lock);
    T value;
    if constexpr (std::is_integral_v<T> && sizeof(T) <= sizeof(uint64_t)) {
        value = __atomic_load_n(field, __ATOMIC_SEQ_CST);
    } else {
        value = *field;
    }
    KeReleaseSpinLock(lock, oldIrql);
    return value;
}

// A buffer in non-paged pool: what the USB stack takes as a transfer buffer (it refuses stack
// memory, as a host controller's DMA must).
class PoolBuffer {
public:
    explicit PoolBuffer(ULONG size)
        : size_(size), data_(static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, size, kTag))) {}
    ~PoolBuffer() { ExFreePoolWithTag(data_, kTag); }
    PoolBuffer(const PoolBuffer&) = delete;
    PoolBuffer& operator=(const PoolBuffer&) = delete;
    UCHAR* data() const { return data_; }
    ULONG size() const { return size_; }
    UCHAR& operator[](size_t index) const { return data_[index]; }

private:
    static constexpr ULONG kTag = 0x74736554;  // "Test"
    ULONG size_;
    UCHAR* data_;
};

inline std::u16string NameOf(const WCHAR* units) {
    std::u16string name;
    for (; *units != 0; ++units) {
        name.push_back(static_cast<char16_t>(*units));
    }
    return name;
}

// Pool blocks of the driver and of the USB stack that are still allocated.
inline size_t DriverPoolBlocks() {
    size_t count = 0;
    for (const kstandin::PoolBlock& block : kstandin::OutstandingPool()) {
        if (block.tag == kPoolTag || block.tag == 0x44425355) {
            ++count;
        }
    }
    return count;
}

inline std::string Narrow(const std::u16string& text) {
    std::string narrow;
    for (char16_t unit : text) {
        narrow.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
    }
    return narrow;
}

}  // namespace kestrune_test
