// The seam between the Win32 application API and the kernel stand-in's I/O manager. Only
// io_bridge.cpp sees kernel headers; the Win32 side sees plain C++ types, so the two sets of
// platform headers never meet in one translation unit.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kswin32::app::bridge {

constexpr uint32_t kStatusSuccess = 0x00000000;
constexpr uint32_t kStatusPending = 0x00000103;
constexpr uint32_t kStatusCancelled = 0xC0000120;
constexpr uint32_t kStatusObjectNameInvalid = 0xC0000033;

struct Completion {
    uint32_t status = kStatusPending;
    uint64_t information = 0;
};

// One read, write or device-control request in flight.
class Request {
  public:
    virtual ~Request() = default;
    virtual uint32_t Returned() const = 0; // what the driver's dispatch routine returned
    virtual bool Cancel() = 0;             // false when it had completed already
    // `done` runs once, in the completing thread or at once if the request has completed.
    virtual void OnCompletion(std::function<void(const Completion&)> done) = 0;
};

struct Opened {
    uint32_t status = 0;
    void* file = nullptr; // the kernel's file object
};

// NT path, e.g. "\??\trelvousb1\ep01": resolves links and sends IRP_MJ_CREATE.
Opened Open(const std::u16string& ntPath);
void Cleanup(void* file);         // IRP_MJ_CLEANUP
void CloseAndRelease(void* file); // IRP_MJ_CLOSE, then the file object goes

std::shared_ptr<Request> StartRead(void* file, void* buffer, uint32_t length);
std::shared_ptr<Request> StartWrite(void* file, const void* buffer, uint32_t length);
std::shared_ptr<Request> StartDeviceControl(void* file, uint32_t code, const void* input,
                                            uint32_t inputLength, void* output,
                                            uint32_t outputLength);

struct Interface {
    std::u16string link; // "\??\..."
    uint8_t interfaceClass[16];
    bool enabled = false;
};
std::vector<Interface> Interfaces();

} // namespace kswin32::app::bridge
