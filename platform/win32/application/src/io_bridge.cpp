// The kernel side of the application API: requests built by the kernel stand-in's I/O manager.
#include "io_bridge.h"

#include <kstandin/kernel.h>

#include <cstring>

namespace kswin32::app::bridge {
namespace {

class KernelRequest : public Request {
  public:
    explicit KernelRequest(std::shared_ptr<kstandin::IoRequest> request)
        : request_(std::move(request)) {}
    uint32_t Returned() const override {
        return static_cast<uint32_t>(request_->Result().returned);
    }
    bool Cancel() override { return request_->Cancel(); }
    void OnCompletion(std::function<void(const Completion&)> done) override {
        request_->OnCompletion([done = std::move(done)](const kstandin::IrpResult& result) {
            done(Completion{static_cast<uint32_t>(result.status), result.information});
        });
    }

  private:
    std::shared_ptr<kstandin::IoRequest> request_;
};

PFILE_OBJECT FileOf(void* file) {
    return static_cast<PFILE_OBJECT>(file);
}

} // namespace

Opened Open(const std::u16string& ntPath) {
    kstandin::OpenResult result = kstandin::OpenFile(ntPath);
    return Opened{static_cast<uint32_t>(result.status), result.file};
}

void Cleanup(void* file) {
    PFILE_OBJECT object = FileOf(file);
    kstandin::SendIrp(kstandin::TopOfStack(object->DeviceObject), IRP_MJ_CLEANUP, 0, {}, object);
}

void CloseAndRelease(void* file) {
    PFILE_OBJECT object = FileOf(file);
    kstandin::SendIrp(kstandin::TopOfStack(object->DeviceObject), IRP_MJ_CLOSE, 0, {}, object);
    kstandin::ReleaseFileObject(object);
}

std::shared_ptr<Request> StartRead(void* file, void* buffer, uint32_t length) {
    return std::make_shared<KernelRequest>(kstandin::StartRead(FileOf(file), buffer, length));
}

std::shared_ptr<Request> StartWrite(void* file, const void* buffer, uint32_t length) {
    return std::make_shared<KernelRequest>(kstandin::StartWrite(FileOf(file), buffer, length));
}

std::shared_ptr<Request> StartDeviceControl(void* file, uint32_t code, const void* input,
                                            uint32_t inputLength, void* output,
                                            uint32_t outputLength) {
    return std::make_shared<KernelRequest>(
        kstandin::StartDeviceControl(FileOf(file), code, input, inputLength, output, outputLength));
}

std::vector<Interface> Interfaces() {
    std::vector<Interface> list;
    for (const kstandin::InterfaceRecord& record : kstandin::DeviceInterfaces()) {
        Interface entry;
        entry.link = record.symbolicLink;
        static_assert(sizeof(entry.interfaceClass) == sizeof(GUID));
        std::memcpy(entry.interfaceClass, &record.interfaceClass, sizeof(GUID));
        entry.enabled = record.enabled;
        list.push_back(entry);
    }
    return list;
}

} // namespace kswin32::app::bridge
