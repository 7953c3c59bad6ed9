// A started instrument with pipe handles on it: the fixture of the pipe handle and transfer tests.
#pragma once

#include "driver_test_support.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

namespace kestrune_test {

using namespace std::chrono_literals;

// Bulk IN 0x81 is pipe 0, bulk OUT 0x02 pipe 1 of the BulkInstrument.
constexpr UCHAR kInEndpoint = 0x81;
constexpr UCHAR kOutEndpoint = 0x02;

inline kstandin::usb::Bytes Pattern(size_t length, unsigned variant = 1) {
    kstandin::usb::Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>((i * 7 + variant * 13 + i / 251) & 0xFF);
    }
    return bytes;
}

class StartedDeviceTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        LoadDriver();
        Plug(kstandin::usb::BulkInstrument());
    }
    void TearDown() override {
        for (PFILE_OBJECT file : open_) {
            kstandin::CloseFile(file);
        }
        if (instrument_ && instrument_->Pdo() != nullptr) {
            RemoveInstrument(*instrument_);
        }
        DriverTest::TearDown();
    }

    void Plug(const kstandin::usb::InstrumentSpec& spec) {
        instrument_ = std::make_unique<kstandin::usb::Instrument>(spec);
        device_ = AddInstrument(*instrument_);
        ASSERT_NE(device_, nullptr);
        record_ = RecordOf(device_);
        ASSERT_EQ(kstandin::pnp::Start(instrument_->Pdo()), STATUS_SUCCESS);
        poolAtStart_ = DriverPoolBlocks();
    }

    // Opens the device's interface path followed by `name`; the handle is closed at tear-down.
    kstandin::OpenResult Open(const std::u16string& name) {
        kstandin::OpenResult result =
            kstandin::OpenFile(kstandin::ToU16(record_->interfaceName) + name);
        if (result.status == STATUS_SUCCESS) {
            open_.push_back(result.file);
        }
        return result;
    }
    PFILE_OBJECT OpenPipe(const std::u16string& name) {
        kstandin::OpenResult result = Open(name);
        EXPECT_EQ(result.status, STATUS_SUCCESS) << Narrow(name);
        return result.file;
    }
    void Close(PFILE_OBJECT file) {
        open_.erase(std::remove(open_.begin(), open_.end(), file), open_.end());
        kstandin::CloseFile(file);
    }

    LONG Buffered() { return ReadLocked(&record_->readBufferLock, &record_->readBufferCount); }
    LONG IoCount() { return ReadLocked(&record_->ioCountLock, &record_->outstandingIo); }
    ULONG& Options() { return *Global<ULONG>("driverOptions"); }
    size_t BulkTransfers() {
        return instrument_->CountUrbs(URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
    }

    // The bulk transfers the bus saw, as they were asked for.
    std::vector<kstandin::usb::RequestRecord> Transfers() {
        std::vector<kstandin::usb::RequestRecord> transfers;
        for (const auto& request : instrument_->Log()) {
            if (request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                transfers.push_back(request);
            }
        }
        return transfers;
    }

    // Every request has ended, nothing holds an I/O reference, and no transfer context is left.
    // A request's reference, and that of the work item that sent held requests on, is dropped
    // just after the request completes: wait for that briefly.
    void ExpectIdle() {
        kstandin::WaitForDispatchQueue();
        kstandin::WaitForWorkItems();
        auto until = std::chrono::steady_clock::now() + 2s;
        while (IoCount() != 1 && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(1ms);
        }
        EXPECT_EQ(IoCount(), 1) << "a reference outlived its request by 2 s";
        EXPECT_EQ(DriverPoolBlocks(), poolAtStart_);
    }

    std::unique_ptr<kstandin::usb::Instrument> instrument_;
    PDEVICE_OBJECT device_ = nullptr;
    DeviceRecord* record_ = nullptr;
    size_t poolAtStart_ = 0;
    std::vector<PFILE_OBJECT> open_;
};

} // namespace kestrune_test
