// Every failure injected in turn into one whole life of the driver: load, plug, start, handles,
// writes, reads from the device and from the read-ahead buffer, all 18 control codes, a cancelled
// read, sleep and wake-up, stop and restart, surprise removal with a read in flight, removal and
// unload. A first run counts the driver's pool allocations and USB requests; then one run fails
// the n-th allocation for every n, and one run fails the n-th USB request for every n, with an
// error, a stall, or no answer (for the requests the driver sends with a time-out, and for the
// transfers, which the application cancels when it has waited long enough). Every run must
// end without a crash, a hang, a verifier finding or a pool block left after unload, and the
// failure must show where it belongs: in the step that met it, with the status that step gives.
#include "driver_test_support.h"
#include "kestrune_ioctl.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <future>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <unistd.h>

namespace kestrune_test {
namespace {

using kstandin::IrpResult;
using kstandin::usb::Bytes;
using kstandin::usb::Instrument;
using kstandin::usb::RequestFault;
using kstandin::usb::RequestRecord;
using namespace std::chrono_literals;

constexpr UCHAR kIn = 0x81;  // pipe 0
constexpr UCHAR kOut = 0x02; // pipe 1
// The error an injected failure carries: a status the driver never makes up itself, so that a
// step passing it through is told apart from one that fails on its own.
constexpr NTSTATUS kInjectedError = STATUS_IO_DEVICE_ERROR;
constexpr auto kStepLimit = 10s; // the longest step waits 3 s for an unanswered string request
// How long the application waits for a transfer before it gives up and cancels it.
constexpr auto kApplicationPatience = 2s;

enum class Family { Count, Allocation, UsbError, UsbStall, UsbNoAnswer };

const char* NameOf(Family family) {
    switch (family) {
    case Family::Count:
        return "count";
    case Family::Allocation:
        return "allocation";
    case Family::UsbError:
        return "usb-error";
    case Family::UsbStall:
        return "usb-stall";
    case Family::UsbNoAnswer:
        return "usb-no-answer";
    }
    return "?";
}

// What a crash report names: the run in progress and its step.
char crashContext[256] = "no run";
void ReportCrash(int signal) {
    const char prefix[] = "\nlifecycle faults: crashed in ";
    (void)!write(2, prefix, sizeof(prefix) - 1);
    (void)!write(2, crashContext, strnlen(crashContext, sizeof(crashContext)));
    (void)!write(2, "\n", 1);
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

struct Outcome {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool operator==(const Outcome& other) const {
        return status == other.status && information == other.information;
    }
};

std::string Hex(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(status));
    return text;
}

std::string Describe(const Outcome& outcome) {
    return Hex(outcome.status) + "/" + std::to_string(outcome.information);
}

// Where the fault of a run landed: in which step, and on what.
struct Hit {
    bool here = false;
    bool allocation = false;
    RequestRecord request; // the failed USB request
    explicit operator bool() const { return here; }
};

Bytes Pattern(size_t length, unsigned variant) {
    Bytes bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<UCHAR>((i * 11 + variant * 29) & 0xFF);
    }
    return bytes;
}

bool IsTimedRequest(const RequestRecord& request) {
    // String descriptors and the vendor probe are the requests the driver sends with a time-out;
    // bulk transfers travel on the application's own request, which it cancels when it has waited
    // long enough. The driver's other requests wait without a time-out by design.
    return request.urbFunction == URB_FUNCTION_VENDOR_INTERFACE ||
           request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER ||
           (request.urbFunction == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
            request.descriptorType == USB_STRING_DESCRIPTOR_TYPE);
}

// The outcomes of the counting run, by step name: what a step gives when no fault touched it.
std::map<std::string, Outcome> reference;

class LifecycleRun {
  public:
    LifecycleRun(Family family, unsigned n) : family_(family), n_(n) {}

    std::vector<std::string> problems;
    unsigned allocations = 0; // the driver's pool allocations during the run
    unsigned requests = 0;    // USB requests that reached the bus
    std::vector<RequestRecord> usbRequests;
    bool faultTaken = false;
    std::vector<std::string> excluded; // findings of a listed temporary exclusion

    // No finding is excluded.
    bool IsExcluded(const kstandin::verifier::Finding&) const { return false; }

    void Execute() {
        auto findingsMutex = std::make_shared<std::mutex>();
        auto findings = std::make_shared<std::vector<kstandin::verifier::Finding>>();
        kstandin::verifier::SetHandler([findingsMutex, findings](const auto& finding) {
            std::lock_guard<std::mutex> lock(*findingsMutex);
            findings->push_back(finding);
        });
        kstandin::ResetKernel();
        Scenario();
        Teardown();
        if (faultTaken && hitStep_.empty()) {
            problems.push_back("the fault was met outside every step that checks where it shows");
        }
        kstandin::WaitUntilQuiet();
        kstandin::verifier::CheckTeardown();
        kstandin::verifier::FlushFreedIrps();
        std::lock_guard<std::mutex> lock(*findingsMutex);
        for (const kstandin::verifier::Finding& finding : *findings) {
            if (IsExcluded(finding)) {
                excluded.push_back(std::string(kstandin::verifier::RuleName(finding.rule)) +
                                   " in " + hitStep_ + ": " + finding.message);
                continue;
            }
            problems.push_back(std::string("verifier finding ") +
                               kstandin::verifier::RuleName(finding.rule) + ": " + finding.message);
        }
        if (!kstandin::OutstandingPool().empty()) {
            problems.push_back("leak: " + std::to_string(kstandin::OutstandingPool().size()) +
                               " pool block(s) left after unload");
        }
    }

  private:
    // --- the scenario

    void Scenario() {
        NTSTATUS entry = STATUS_PENDING;
        std::string error;
        Arm();
        {
            Hit hit;
            Outcome loaded = Step("load", hit, [&] {
                driver_ = kstandin::LoadedDriver::Load(KESTRUNE_DRIVER_PATH, kRegistryPath, &entry,
                                                       &error);
                return Outcome{driver_ ? STATUS_SUCCESS : entry, 0};
            });
            if (hit.allocation) {
                Expect("load", loaded, {STATUS_INSUFFICIENT_RESOURCES, 0});
                return;
            }
            if (!Expect("load", loaded, {STATUS_SUCCESS, 0})) {
                return;
            }
        }

        kstandin::usb::InstrumentSpec spec = kstandin::usb::BulkInstrument();
        spec.configurationAttributes |= USB_CONFIG_REMOTE_WAKEUP;
        spec.vendorAnswer = kstandin::usb::ControlAnswer::Succeed;
        instrument_ = std::make_unique<Instrument>(spec);
        if (family_ != Family::Count && family_ != Family::Allocation) {
            instrument_->FailRequestAt(n_, FaultKind(), kInjectedError);
        }
        {
            Hit hit;
            Outcome added = Step("add device", hit, [&] {
                pdo_ = instrument_->PlugIn();
                return Outcome{driver_->AddDevice(pdo_), 0};
            });
            if (hit.allocation) {
                Expect("add device", added, {STATUS_INSUFFICIENT_RESOURCES, 0});
                Check("no device object after a failed add",
                      !kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
                instrument_->DeletePdo();
                pdo_ = nullptr;
                return;
            }
            if (!Expect("add device", added, {STATUS_SUCCESS, 0})) {
                instrument_->DeletePdo();
                pdo_ = nullptr;
                return;
            }
            record_ = RecordOf(kstandin::TopOfStack(pdo_));
        }
        Plain("query capabilities", [&] {
            DEVICE_CAPABILITIES capabilities{};
            return Outcome{kstandin::pnp::QueryCapabilities(pdo_, &capabilities), 0};
        });

        if (!Start("start")) {
            return;
        }
        kstandin::WaitUntilQuiet(); // the wait-wake request the start asked for goes out

        deviceHandle_ = Open("open device handle", u"");
        in_ = Open("open pipe handle 0", u"\\ep00");
        out_ = Open("open pipe handle 1", u"\\ep01");
        if (deviceHandle_ == nullptr || in_ == nullptr || out_ == nullptr) {
            return;
        }

        Transfers("");
        CancelledRead();
        ControlCodes();
        SleepAndWake();
        if (!StopAndRestart()) {
            return;
        }
        SurpriseRemovalWithReadInFlight();
    }

    // A write, a read that goes down to the device, one served from the buffer. After a failed
    // transfer the application resets the pipe and tries once more, as applications do.
    void Transfers(const std::string& suffix) {
        Bytes written = Pattern(1000, 1);
        Outcome write = Retried(
            "write" + suffix, out_,
            [&] { return Finish(kstandin::StartWrite(out_, written.data(), 1000), "the write"); },
            [&](const Hit& hit, const Outcome& outcome) {
                if (hit.allocation) {
                    return outcome == Outcome{STATUS_INSUFFICIENT_RESOURCES, 0};
                }
                if (hit.request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER) {
                    return outcome.status == InjectedStatus();
                }
                return outcome ==
                       Outcome{STATUS_SUCCESS, 1000}; // a port query's failure is ignored
            });
        Expect("write" + suffix, write, {STATUS_SUCCESS, 1000});
        OutTransfers out = instrument_->OutData(kOut);
        Check("the device received the write" + suffix, !out.empty() && out.back() == written);

        // 300 bytes are there before the read: one transfer brings them, 100 go to the caller.
        Bytes sent = Pattern(300, 2);
        instrument_->QueueIn(kIn, sent);
        Bytes received(300, 0);
        Outcome first = Retried(
            "read from the device" + suffix, in_,
            [&] {
                return Finish(kstandin::StartRead(in_, received.data(), 100),
                              "the read from the device");
            },
            [&](const Hit& hit, const Outcome& outcome) {
                if (hit.allocation) {
                    return outcome == Outcome{STATUS_INSUFFICIENT_RESOURCES, 0};
                }
                return outcome.status == InjectedStatus() && outcome.information == 0;
            });
        Expect("read from the device" + suffix, first, {STATUS_SUCCESS, 100});
        Outcome second = Plain("read from the buffer" + suffix, [&] {
            return Result(kstandin::Read(in_, received.data() + 100, 200));
        });
        Expect("read from the buffer" + suffix, second, {STATUS_SUCCESS, 200});
        Check("reads hand over the device's bytes in order" + suffix, received == sent);
    }
    using OutTransfers = kstandin::usb::OutTransfers;

    // A read of 100 bytes of which 40 arrive; the application gives up and cancels it: it ends
    // with STATUS_CANCELLED and the 40 bytes.
    void CancelledRead() {
        Bytes sent = Pattern(40, 3);
        instrument_->QueueIn(kIn, sent);
        Bytes received(100, 0);
        Outcome outcome = Retried(
            "cancelled read", in_,
            [&]() -> Outcome {
                auto read = kstandin::StartRead(in_, received.data(), 100);
                // The 40 bytes are buffered (brought by a first transfer, or left by an earlier
                // failed attempt) and the read waits in the device for more.
                // A first transfer that is never answered leaves the condition unmet: the
                // application cancels all the same when its patience ends.
                Until(kApplicationPatience, [&] {
                    return Ended(*read) ||
                           (ReadLocked(&record_->readBufferLock, &record_->readBufferCount) == 40 &&
                            instrument_->PendingRequests() >
                                (instrument_->WaitWakeHeld() ? 1u : 0u));
                });
                read->Cancel();
                if (!read->Wait(5s)) {
                    Hang("the cancelled read to end after its cancel");
                }
                return Result(read->Result());
            },
            [&](const Hit& hit, const Outcome& outcome) {
                if (hit.allocation) {
                    return outcome == Outcome{STATUS_INSUFFICIENT_RESOURCES, 0};
                }
                // The stack's status; the 40 bytes of a first transfer that went well stay
                // buffered.
                return outcome.status == InjectedStatus();
            });
        Expect("cancelled read", outcome, {STATUS_CANCELLED, 40});
        if (outcome.status == STATUS_CANCELLED) {
            Check("the cancelled read hands over the 40 bytes",
                  Bytes(received.begin(), received.begin() + 40) == sent);
        }
    }

    // All 18 control codes: the device handle for all but the pipe reset, which needs a pipe.
    void ControlCodes() {
        ULONG word = 0;
        Word("get options", IOCTL_KESTRUNE_GET_OPTIONS);
        Code("set options", deviceHandle_, IOCTL_KESTRUNE_SET_OPTIONS, &word, 4, nullptr, 0);
        Word("get version", IOCTL_KESTRUNE_GET_VERSION);
        char date[32];
        Code("get build date", deviceHandle_, IOCTL_KESTRUNE_GET_BUILD_DATE, nullptr, 0, date, 21);
        Word("get max transfer a", IOCTL_KESTRUNE_GET_MAX_TRANSFER_A);
        Word("get max transfer b", IOCTL_KESTRUNE_GET_MAX_TRANSFER_B);
        Word("get start tick", IOCTL_KESTRUNE_GET_START_TICK);
        // The probe at start decides the read chunk size: a failed probe leaves 2048.
        ULONG chunk = 0;
        Outcome got = Plain("get read chunk size", [&] {
            return Result(kstandin::DeviceControl(deviceHandle_, IOCTL_KESTRUNE_GET_READ_CHUNK_SIZE,
                                                  nullptr, 0, &chunk, 4));
        });
        Expect("get read chunk size", got, {STATUS_SUCCESS, 4});
        Check("read chunk size " + std::to_string(chunk) + " after the start's probe",
              chunk == (probeFailed_ ? 2048u : 65536u));
        ULONG large = 65536;
        Code("set read chunk size", deviceHandle_, IOCTL_KESTRUNE_SET_READ_CHUNK_SIZE, &large, 4,
             nullptr, 0);
        word = 2048;
        Code("set write chunk size", deviceHandle_, IOCTL_KESTRUNE_SET_WRITE_CHUNK_SIZE, &word, 4,
             nullptr, 0);
        Word("get write chunk size", IOCTL_KESTRUNE_GET_WRITE_CHUNK_SIZE);
        std::vector<UCHAR> descriptor(256);
        Code("get configuration descriptor", deviceHandle_, IOCTL_KESTRUNE_GET_CONFIG_DESCRIPTOR,
             nullptr, 0, descriptor.data(), 256);

        // Resets and strings talk to the device. A failed reset passes the stack's status on; a
        // failed string read gives STATUS_UNSUCCESSFUL, a failed serial-number read leaves the
        // cache empty (STATUS_BUFFER_TOO_SMALL) and the next query reads it again.
        auto passesStatusOn = [this](const Hit& hit, const Outcome& outcome) {
            return !hit.allocation && outcome == Outcome{InjectedStatus(), 0};
        };
        Faulty("reset port", deviceHandle_, IOCTL_KESTRUNE_RESET_PORT, nullptr, 0, passesStatusOn);
        Faulty("reset pipe", in_, IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0,
               [this](const Hit& hit, const Outcome& outcome) {
                   return outcome ==
                          Outcome{hit.allocation ? STATUS_INSUFFICIENT_RESOURCES : InjectedStatus(),
                                  0};
               });
        // The code's own string buffer failing is STATUS_INSUFFICIENT_RESOURCES.
        auto stringFails = [](const Hit& hit, const Outcome& outcome) {
            return outcome == Outcome{STATUS_UNSUCCESSFUL, 0} ||
                   (hit.allocation && outcome == Outcome{STATUS_INSUFFICIENT_RESOURCES, 0});
        };
        bool serialFailed = false;
        Faulty("get serial number", deviceHandle_, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, text_, 64,
               [&serialFailed](const Hit&, const Outcome& outcome) {
                   serialFailed = true;
                   return outcome == Outcome{STATUS_BUFFER_TOO_SMALL, 0};
               });
        // Served from the cache, or after a failure read again.
        size_t before = instrument_->RequestCount();
        Code("get serial number again", deviceHandle_, IOCTL_KESTRUNE_GET_SERIAL_NUMBER, nullptr, 0,
             text_, 64);
        Check("a cached serial number is not read again, a failed one is",
              (instrument_->RequestCount() > before) == serialFailed);
        Faulty("get manufacturer string", deviceHandle_, IOCTL_KESTRUNE_GET_MANUFACTURER_STRING,
               text_, 64, stringFails);
        Faulty("get product string", deviceHandle_, IOCTL_KESTRUNE_GET_PRODUCT_STRING, text_, 64,
               stringFails);
        Code("clear read buffer", deviceHandle_, IOCTL_KESTRUNE_CLEAR_READ_BUFFER, nullptr, 0,
             nullptr, 0);
        Check("the read buffer is empty after the clear",
              ReadLocked(&record_->readBufferLock, &record_->readBufferCount) == 0);
    }

    // The system goes to S3 (the device to D2, wait-wake armed), the device signals wake-up (D0
    // comes back, wait-wake is armed again), and the system returns to S0.
    void SleepAndWake() {
        auto powerFails = [](const Hit& hit, const Outcome& outcome) {
            return hit.allocation && outcome == Outcome{STATUS_INSUFFICIENT_RESOURCES, 0};
        };
        // A set-power request may not fail: without its memory the system still changes state
        // (the device, asked for nothing or not drained first, as the driver could manage).
        auto setGoesOn = [](const Hit& hit, const Outcome& outcome) {
            return hit.allocation && outcome == Outcome{STATUS_SUCCESS, 0};
        };
        Outcome queried = FaultyStep(
            "query sleep",
            [&] {
                return Outcome{kstandin::power::QuerySystemPower(pdo_, PowerSystemSleeping3), 0};
            },
            powerFails);
        if (queried.status != STATUS_SUCCESS) {
            return; // the system stays in S0
        }
        Outcome slept = FaultyStep(
            "sleep",
            [&] {
                return Outcome{kstandin::power::SetSystemPower(pdo_, PowerSystemSleeping3), 0};
            },
            setGoesOn);
        kstandin::WaitUntilQuiet();
        if (slept.status == STATUS_SUCCESS && hitStep_ != "sleep") {
            Check("the device sleeps in D2", instrument_->DevicePower() == PowerDeviceD2);
            Plain("wake-up signal", [&] {
                return Outcome{instrument_->SignalWakeup() ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL,
                               0};
            });
            WaitFor("the device back in D0 after its wake-up signal",
                    [&] { return instrument_->DevicePower() == PowerDeviceD0; });
            WaitFor("the wait-wake request armed again after the wake-up",
                    [&] { return instrument_->WaitWakeHeld(); });
        }
        FaultyStep(
            "wake",
            [&] {
                return Outcome{kstandin::power::SetSystemPower(pdo_, PowerSystemWorking), 0};
            },
            setGoesOn);
        kstandin::WaitUntilQuiet();
        WaitFor("the device in D0 after the system woke",
                [&] { return instrument_->DevicePower() == PowerDeviceD0; });
    }

    // Stop query and stop (the device is deconfigured), then a new start; handles of the first
    // start are refused, new ones work.
    bool StopAndRestart() {
        Plain("query stop", [&] { return Outcome{kstandin::pnp::QueryStop(pdo_), 0}; });
        // A failed deconfiguration goes down as the stop's status, but the bus, which must not
        // fail a stop, answers it with success: the device is stopped all the same.
        FaultyStep(
            "stop",
            [&] {
                return Outcome{kstandin::pnp::Stop(pdo_), 0};
            },
            [](const Hit&, const Outcome& outcome) {
                return outcome == Outcome{STATUS_SUCCESS, 0};
            });
        Check("the device is stopped and its configuration released",
              record_->deviceState == Stopped && record_->configDescriptor == nullptr &&
                  record_->interfaceInfo == nullptr && record_->pipeOpen == nullptr);
        if (!Start("restart")) {
            return false;
        }
        kstandin::WaitUntilQuiet();
        UCHAR byte = 0;
        Outcome stale = Plain("read on a handle of the first start",
                              [&] { return Result(kstandin::Read(in_, &byte, 1)); });
        Expect("read on a handle of the first start", stale, {STATUS_INVALID_HANDLE, 0});
        stale_.push_back(in_);
        stale_.push_back(out_);
        in_ = Open("open pipe handle 0 again", u"\\ep00");
        out_ = Open("open pipe handle 1 again", u"\\ep01");
        if (in_ == nullptr || out_ == nullptr) {
            return false;
        }
        Transfers(" after restart");
        return true;
    }

    // A read waits in the device when the device is surprise-removed: the removal aborts it, or,
    // if the abort cannot be sent, the device's going ends it.
    void SurpriseRemovalWithReadInFlight() {
        UCHAR buffer[64];
        std::shared_ptr<kstandin::IoRequest> read;
        Hit started;
        Step("read in flight", started, [&] {
            size_t before = BulkInTransfers();
            read = kstandin::StartRead(in_, buffer, sizeof(buffer));
            WaitFor("the in-flight read's transfer to reach the bus",
                    [&] { return BulkInTransfers() > before || Ended(*read); });
            return Outcome{};
        });
        // An unanswered transfer stays in flight like any other; every other fault ends the read.
        bool endedEarly = started && family_ != Family::UsbNoAnswer;
        if (endedEarly) {
            // The read met the fault before the removal: it has ended with its status.
            if (!read->Wait(5s)) {
                Hang("the read that met the fault to end");
            }
            Outcome ended = Result(read->Result());
            Check("read in flight ends " + Describe(ended) + " on " + HitName(started),
                  ended.status == InjectedStatus() && ended.information == 0);
        }
        Hit hit;
        Outcome surprise = Step("surprise removal", hit, [&] {
            return Outcome{kstandin::pnp::SurpriseRemove(pdo_), 0};
        });
        Expect("surprise removal", surprise, {STATUS_SUCCESS, 0});
        instrument_->Unplug();
        if (!read->Wait(5s)) {
            Hang("the read in flight to end after surprise removal and unplug");
        }
        Outcome ended = Result(read->Result());
        if (endedEarly) {
            // Already checked above.
        } else if (hit) {
            // The abort could not go down: the device's going ends the read instead.
            Check("read in flight at surprise removal ends " + Describe(ended),
                  ended == Outcome{STATUS_CANCELLED, 0} ||
                      ended == Outcome{STATUS_DEVICE_NOT_CONNECTED, 0});
        } else {
            Expect("read in flight at surprise removal", ended, {STATUS_CANCELLED, 0});
        }
    }

    // Handles closed, the device removed, the driver unloaded: nothing may be left.
    void Teardown() {
        std::snprintf(step_, sizeof(step_), "teardown");
        UpdateContext();
        for (PFILE_OBJECT file : {deviceHandle_, in_, out_}) {
            if (file != nullptr) {
                kstandin::CloseFile(file);
            }
        }
        for (PFILE_OBJECT file : stale_) {
            kstandin::CloseFile(file);
        }
        if (pdo_ != nullptr) {
            Bounded("removal", [&] {
                NTSTATUS removed = kstandin::pnp::Remove(pdo_);
                if (removed != STATUS_SUCCESS) {
                    Problem("removal returned " + Hex(removed));
                }
            });
            Check("no device object after removal",
                  !kstandin::DeviceNameExists(u"\\Device\\trelvousb0"));
            Check("no DOS device link after removal",
                  !kstandin::SymbolicLinkTarget(u"\\??\\trelvousb"));
            instrument_->DeletePdo();
        }
        kstandin::WaitForDeferredCloses();
        kstandin::WaitUntilQuiet();
        if (instrument_) {
            requests = instrument_->RequestCount();
            usbRequests.clear();
            for (const RequestRecord& request : instrument_->Log()) {
                if (request.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
                    usbRequests.push_back(request);
                }
            }
            if (family_ != Family::Count && family_ != Family::Allocation) {
                faultTaken = instrument_->FailedRequest().has_value();
            }
        }
        allocations = kstandin::DriverAllocationCount();
        if (family_ == Family::Allocation) {
            faultTaken = !kstandin::DriverAllocationFailurePending();
            kstandin::FailDriverAllocationAt(0);
        }
        if (driver_) {
            Bounded("unload", [&] { driver_->Unload(); });
        }
        instrument_.reset();
    }

    // --- steps

    // Runs one step within the time limit, and tells whether the run's fault landed in it.
    Outcome Step(const std::string& name, Hit& hit, const std::function<Outcome()>& action) {
        std::snprintf(step_, sizeof(step_), "%s", name.c_str());
        UpdateContext();
        bool pendingBefore = kstandin::DriverAllocationFailurePending();
        bool requestHitBefore = instrument_ && instrument_->FailedRequest().has_value();
        Outcome outcome;
        Bounded(name, [&] { outcome = action(); });
        if (family_ == Family::Allocation && pendingBefore &&
            !kstandin::DriverAllocationFailurePending()) {
            hit.here = true;
            hit.allocation = true;
        }
        if (instrument_ && !requestHitBefore && instrument_->FailedRequest().has_value()) {
            hit.here = true;
            hit.request = instrument_->Log()[*instrument_->FailedRequest()];
        }
        if (hit) {
            hitStep_ = name;
        }
        if (family_ == Family::Count) {
            reference[name] = outcome;
        }
        return outcome;
    }

    // A step the fault must not change: no allocation and no USB request can fail in it.
    Outcome Plain(const std::string& name, const std::function<Outcome()>& action) {
        Hit hit;
        Outcome outcome = Step(name, hit, action);
        if (hit) {
            Problem(name + ": met the fault, which no step of its kind should");
        }
        Expect(name, outcome, Reference(name));
        return outcome;
    }

    // A step that may meet the fault: then `surfaces` judges the outcome, else it is the usual one.
    Outcome FaultyStep(const std::string& name, const std::function<Outcome()>& action,
                       const std::function<bool(const Hit&, const Outcome&)>& surfaces) {
        Hit hit;
        Outcome outcome = Step(name, hit, action);
        if (hit) {
            if (!surfaces(hit, outcome)) {
                Problem(name + ": the fault (" + HitName(hit) + ") surfaced as " +
                        Describe(outcome));
            }
        } else {
            Expect(name, outcome, Reference(name));
        }
        return outcome;
    }

    // A transfer step: when it meets the fault, the outcome is judged, the pipe reset and the
    // transfer tried again; the retry's outcome is returned.
    Outcome Retried(const std::string& name, PFILE_OBJECT pipe,
                    const std::function<Outcome()>& action,
                    const std::function<bool(const Hit&, const Outcome&)>& surfaces) {
        Hit hit;
        Outcome outcome = Step(name, hit, action);
        if (!hit) {
            return outcome;
        }
        if (!surfaces(hit, outcome)) {
            Problem(name + ": the fault (" + HitName(hit) + ") surfaced as " + Describe(outcome));
        }
        if (outcome == Reference(name)) {
            return outcome; // the fault hit something whose failure the driver ignores
        }
        Outcome reset = Result(
            kstandin::DeviceControl(pipe, IOCTL_KESTRUNE_RESET_PIPE, nullptr, 0, nullptr, 0));
        Expect(name + ": pipe reset after the failure", reset, {STATUS_SUCCESS, 0});
        Hit again;
        return Step(name + " again", again, action);
    }

    // A control code whose outcome is always the usual one.
    void Code(const std::string& name, PFILE_OBJECT file, ULONG code, const void* input,
              ULONG inputLength, void* output, ULONG outputLength) {
        Plain(name, [&] {
            return Result(
                kstandin::DeviceControl(file, code, input, inputLength, output, outputLength));
        });
    }
    void Word(const std::string& name, ULONG code) {
        ULONG value = 0;
        Code(name, deviceHandle_, code, nullptr, 0, &value, 4);
    }
    void Faulty(const std::string& name, PFILE_OBJECT file, ULONG code, void* output,
                ULONG outputLength,
                const std::function<bool(const Hit&, const Outcome&)>& surfaces) {
        FaultyStep(
            name,
            [&] {
                return Result(
                    kstandin::DeviceControl(file, code, nullptr, 0, output, outputLength));
            },
            surfaces);
    }

    PFILE_OBJECT Open(const std::string& name, const std::u16string& fileName) {
        kstandin::OpenResult opened;
        Plain(name, [&] {
            opened = kstandin::OpenFile(kstandin::ToU16(record_->interfaceName) + fileName);
            return Outcome{opened.status, 0};
        });
        return opened.status == STATUS_SUCCESS ? opened.file : nullptr;
    }

    // The start (or restart): the lower drivers, the descriptors, the selection and the probe.
    bool Start(const std::string& name) {
        Hit hit;
        Outcome started = Step(name, hit, [&] { return Outcome{kstandin::pnp::Start(pdo_), 0}; });
        if (!hit) {
            // Enabling the interface again at a restart answers STATUS_OBJECT_NAME_EXISTS, a
            // success status that the start passes on.
            Check(name + " succeeds (" + Hex(started.status) + ")", NT_SUCCESS(started.status));
            return Expect(name, started, Reference(name));
        }
        if (!hit.allocation && hit.request.urbFunction == URB_FUNCTION_VENDOR_INTERFACE) {
            // A probe that fails or never answers leaves the read chunk size; the start goes on.
            probeFailed_ = name == "start" ? true : probeFailed_;
            Expect(name + " with a failed probe", started, Reference(name));
            Check(name + ": read chunk size stays after a failed probe",
                  record_->readChunkSize == (name == "start" ? 2048u : 65536u));
            return NT_SUCCESS(started.status);
        }
        NTSTATUS expected = hit.allocation ? STATUS_INSUFFICIENT_RESOURCES : InjectedStatus();
        Expect(name + " failing on " + HitName(hit), started, {expected, 0});
        Check(name + ": a failed start leaves the device out of Working",
              record_->deviceState != Working);
        return NT_SUCCESS(started.status);
    }

    // --- small routines

    void Arm() {
        if (family_ == Family::Allocation) {
            kstandin::FailDriverAllocationAt(n_);
        }
    }
    RequestFault FaultKind() const {
        return family_ == Family::UsbStall      ? RequestFault::Stall
               : family_ == Family::UsbNoAnswer ? RequestFault::NeverAnswer
                                                : RequestFault::Error;
    }
    // The status a request that met the fault ends with, as the driver sees it.
    NTSTATUS InjectedStatus() const {
        switch (family_) {
        case Family::UsbError:
            return kInjectedError;
        case Family::UsbStall:
            return STATUS_UNSUCCESSFUL;
        case Family::UsbNoAnswer:
            return STATUS_CANCELLED; // the driver's time-out cancels it
        default:
            return STATUS_INSUFFICIENT_RESOURCES;
        }
    }
    std::string HitName(const Hit& hit) const {
        if (hit.allocation) {
            return "allocation " + std::to_string(n_);
        }
        std::ostringstream text;
        text << NameOf(family_) << " on request " << n_ << " (ioctl 0x" << std::hex
             << hit.request.ioControlCode << ", URB function 0x" << hit.request.urbFunction << ")";
        return text.str();
    }

    Outcome Reference(const std::string& name) const {
        auto found = reference.find(name);
        return found != reference.end() ? found->second : Outcome{};
    }
    static Outcome Result(const IrpResult& result) { return {result.status, result.information}; }
    static bool Ended(kstandin::IoRequest& request) { return request.Result().completed; }
    size_t BulkInTransfers() const {
        size_t count = 0;
        for (const RequestRecord& request : instrument_->Log()) {
            count += request.urbFunction == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER &&
                     request.endpointAddress == kIn;
        }
        return count;
    }

    bool Expect(const std::string& name, const Outcome& outcome, const Outcome& wanted) {
        if (outcome == wanted) {
            return true;
        }
        Problem(name + ": " + Describe(outcome) + " where " + Describe(wanted) + " belongs");
        return false;
    }
    void Check(const std::string& what, bool holds) {
        if (!holds) {
            Problem(what + ": does not hold");
        }
    }
    void Problem(const std::string& text) { problems.push_back(std::string(step_) + ": " + text); }

    // The application's wait for a transfer: when its patience ends it cancels the request.
    Outcome Finish(const std::shared_ptr<kstandin::IoRequest>& request, const std::string& what) {
        if (!request->Wait(kApplicationPatience)) {
            request->Cancel();
            if (!request->Wait(5s)) {
                Hang(what + " to end after its cancel");
            }
        }
        return Result(request->Result());
    }
    static bool Until(std::chrono::milliseconds limit, const std::function<bool()>& done) {
        auto until = std::chrono::steady_clock::now() + limit;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    bool WaitFor(const std::string& what, const std::function<bool()>& done) {
        auto until = std::chrono::steady_clock::now() + 5s;
        while (!done()) {
            if (std::chrono::steady_clock::now() > until) {
                Problem("waited 5 s in vain for " + what);
                return false;
            }
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    // A step that does not end in time leaves the kernel in a state no later run can use: the
    // hang is reported with what was waited for, and the test program ends at once.
    void Bounded(const std::string& what, const std::function<void()>& action) {
        std::packaged_task<void()> task(action);
        std::future<void> done = task.get_future();
        std::thread worker(std::move(task));
        if (done.wait_for(kStepLimit) != std::future_status::ready) {
            worker.detach();
            Hang(what + " to end");
        }
        worker.join();
    }
    [[noreturn]] void Hang(const std::string& what) {
        std::fprintf(stderr, "\nlifecycle faults: hang in %s: waited %lld s in vain for %s\n",
                     crashContext, static_cast<long long>(kStepLimit.count()), what.c_str());
        std::fflush(stderr);
        std::_Exit(3);
    }
    void UpdateContext() {
        std::snprintf(crashContext, sizeof(crashContext), "run %s n=%u, step %s", NameOf(family_),
                      n_, step_);
    }

    Family family_;
    unsigned n_;
    char step_[96] = "start of run";
    std::unique_ptr<kstandin::LoadedDriver> driver_;
    std::unique_ptr<Instrument> instrument_;
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceRecord* record_ = nullptr;
    PFILE_OBJECT deviceHandle_ = nullptr;
    PFILE_OBJECT in_ = nullptr;
    PFILE_OBJECT out_ = nullptr;
    std::vector<PFILE_OBJECT> stale_;
    bool probeFailed_ = false;
    std::string hitStep_;
    char text_[64] = {};
};

class LifecycleFaultTest : public kstandin::testing::KernelTest {
  protected:
    void SetUp() override {
        KernelTest::SetUp();
        std::signal(SIGSEGV, ReportCrash);
        std::signal(SIGABRT, ReportCrash);
        std::signal(SIGBUS, ReportCrash);
        count_ = std::make_unique<LifecycleRun>(Family::Count, 0);
        count_->Execute();
        for (const std::string& problem : count_->problems) {
            ADD_FAILURE() << "run without a fault: " << problem;
        }
        ASSERT_GT(count_->allocations, 0u);
        ASSERT_GT(count_->requests, 0u);
    }
    void TearDown() override {
        kstandin::verifier::SetHandler([](const kstandin::verifier::Finding& finding) {
            ADD_FAILURE() << "driver verifier: " << kstandin::verifier::RuleName(finding.rule)
                          << ": " << finding.message;
        });
        KernelTest::TearDown();
    }

    // Runs the scenario failing the n-th for each chosen n; reports the family's figures.
    // KESTRUNE_FAULT_RUN=n replays one run of each family.
    void RunFamily(Family family, std::vector<unsigned> numbers) {
        if (const char* only = std::getenv("KESTRUNE_FAULT_RUN")) {
            numbers = {static_cast<unsigned>(std::strtoul(only, nullptr, 10))};
        }
        unsigned runs = 0;
        unsigned failedRuns = 0;
        unsigned leaks = 0;
        unsigned findings = 0;
        unsigned excluded = 0;
        for (unsigned n : numbers) {
            LifecycleRun run(family, n);
            run.Execute();
            ++runs;
            if (!run.faultTaken) {
                ADD_FAILURE() << NameOf(family) << " n=" << n << ": the fault was never met";
            }
            for (const std::string& problem : run.problems) {
                leaks += problem.rfind("leak", 0) == 0 ||
                         problem.find("PoolLeftAtUnload") != std::string::npos;
                findings += problem.find("verifier finding") != std::string::npos;
                ADD_FAILURE() << NameOf(family) << " n=" << n << ": " << problem;
            }
            failedRuns += run.problems.empty() ? 0 : 1;
            for (const std::string& finding : run.excluded) {
                ++excluded;
                std::printf("excluded (temporary, listed): %s n=%u: %s\n", NameOf(family), n,
                            finding.c_str());
            }
        }
        // A crash or a hang ends the program before this line, naming the run.
        std::printf("lifecycle faults %s: %u runs, 0 crashes, 0 hangs, %u leaks, %u verifier "
                    "findings, %u runs with problems, %u excluded findings\n",
                    NameOf(family), runs, leaks, findings, failedRuns, excluded);
        EXPECT_EQ(runs, numbers.size());
    }

    std::vector<unsigned> RequestNumbers(const std::function<bool(const RequestRecord&)>& chosen) {
        std::vector<unsigned> numbers;
        for (size_t i = 0; i < count_->usbRequests.size(); ++i) {
            if (chosen(count_->usbRequests[i])) {
                numbers.push_back(static_cast<unsigned>(i + 1));
            }
        }
        return numbers;
    }

    std::unique_ptr<LifecycleRun> count_;
};

TEST_F(LifecycleFaultTest, EveryPoolAllocationFailsInTurn) {
    std::vector<unsigned> numbers;
    for (unsigned n = 1; n <= count_->allocations; ++n) {
        numbers.push_back(n);
    }
    std::printf("lifecycle faults: the scenario makes %u pool allocations\n", count_->allocations);
    RunFamily(Family::Allocation, numbers);
}

TEST_F(LifecycleFaultTest, EveryUsbRequestFailsWithAnErrorInTurn) {
    std::printf("lifecycle faults: the scenario sends %u USB requests\n", count_->requests);
    RunFamily(Family::UsbError, RequestNumbers([](const RequestRecord&) { return true; }));
}

TEST_F(LifecycleFaultTest, EveryUsbRequestThatCanStallStallsInTurn) {
    RunFamily(Family::UsbStall, RequestNumbers(kstandin::usb::CanStall));
}

TEST_F(LifecycleFaultTest, EveryUsbRequestWithATimeOutOrACancelGoesUnansweredInTurn) {
    RunFamily(Family::UsbNoAnswer, RequestNumbers(IsTimedRequest));
}

} // namespace
} // namespace kestrune_test
