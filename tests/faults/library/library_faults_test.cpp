// Every D2XX and Win32 call that a whole enumeration and a whole download make, failed in turn.
// Each scenario runs once to count its calls, then once per n with the n-th call failing (and,
// for D2XX, once per n with every call from the n-th on failing: a bridge gone for good). Each
// run must return within seconds, with the result its failed call leads to, and leave no device,
// file, thread or module reference behind.
#include "library_test_support.h"

#include <commctrl.h>

#include "d2xx_faults.h"
#include "module_state.h"
#include "resource.h"
#include "win32_faults.h"

#include <algorithm>
#include <condition_variable>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

namespace ambrix_test {
namespace {

const FT_STATUS kFailedStatus = FT_IO_ERROR;

enum class Family { D2xx, Win32 };

const char* FamilyName(Family family)
{
    return family == Family::D2xx ? "D2XX" : "Win32";
}

// The call a run failed, whichever stand-in made it.
struct FailedCall {
    bool any = false;
    std::string function;
    std::string detail;  // Win32: file name or message; D2XX: empty
    int device = -1;     // D2XX: the device of the call
    std::string Describe() const
    {
        if (!any)
            return "no call";
        std::string text = function;
        if (!detail.empty())
            text += " (" + detail + ")";
        if (device >= 0)
            text += " on device " + std::to_string(device);
        return text;
    }
};

// Which calls fail: the n-th alone, or (D2XX) every call from the n-th on.
enum class Mode { NthCall, FromNthCall };

void StartCounting(Family family, size_t failAt, Mode mode)
{
    if (family == Family::D2xx)
        d2xxsim::CountCalls(failAt, mode == Mode::FromNthCall);
    else
        win32sim::CountCalls(failAt);
}

// Stops counting; returns how many calls were counted, adds their kinds to kinds, and gives the
// first one that failed.
size_t StopCounting(Family family, FailedCall* failed, std::set<std::string>* kinds)
{
    *failed = FailedCall();
    size_t count = 0;
    if (family == Family::D2xx) {
        auto calls = d2xxsim::CountedCalls();
        count = calls.size();
        for (const auto& call : calls) {
            kinds->insert(call.function);
            if (call.failed && !failed->any)
                *failed = {true, call.function, "", call.device};
        }
        d2xxsim::StopCountingCalls();
    }
    else {
        auto calls = win32sim::CountedCalls();
        count = calls.size();
        for (const auto& call : calls) {
            kinds->insert(call.function);
            if (call.failed && !failed->any)
                *failed = {true, call.function, call.detail, -1};
        }
        win32sim::StopCountingCalls();
    }
    return count;
}

// Every kind of call the scenario makes has been failed at least once.
void ExpectEveryKindFailed(const std::set<std::string>& counted,
                           const std::set<std::string>& failed)
{
    for (const auto& kind : counted)
        EXPECT_TRUE(failed.count(kind)) << kind << " was made but never failed";
}

// A receiver that asks for the transfer with 'C' every few seconds until the sender's first
// packet, as XMODEM receivers do, and otherwise is the receiver model: a start request dropped
// by the sender's purge, or a purge that never reached it, is asked again.
class InsistingReceiver : public d2xxsim::Peer {
  public:
    explicit InsistingReceiver(std::shared_ptr<d2xxsim::XmodemReceiverModel> model)
        : model_(std::move(model))
    {
    }
    ~InsistingReceiver() override
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        if (asker_.joinable())
            asker_.join();
    }
    void Attach(d2xxsim::Line* line) override
    {
        model_->Attach(line);
        asker_ = std::thread([this, line] {
            std::unique_lock<std::mutex> lock(lock_);
            // Three seconds between requests, on the tests' time scale.
            while (!changed_.wait_for(lock, d2xxsim::Scaled(3000), [this] { return stopping_; })) {
                if (!started_)
                    line->Deliver({'C'});
            }
        });
    }
    void OnPurge(ULONG mask) override { model_->OnPurge(mask); }
    void OnWrite(const uint8_t* data, size_t length) override
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            started_ = true;
        }
        model_->OnWrite(data, length);
    }
    void OnClose() override { model_->OnClose(); }

  private:
    std::shared_ptr<d2xxsim::XmodemReceiverModel> model_;
    std::mutex lock_;
    std::condition_variable changed_;
    bool stopping_ = false;  // guarded by lock_
    bool started_ = false;   // guarded by lock_
    std::thread asker_;
};

class LibraryFaults : public LibraryTest {
  protected:
    void TearDown() override
    {
        // The peers go before the devices whose lines they use.
        receiver_.reset();
        LibraryTest::TearDown();
    }

    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver_;
};

// --- Enumeration -----------------------------------------------------------------------------

const char kInstrumentLabel[] = "Trelvo X1 - TX0001";
const char kUnprogrammedLabel[] = "Unprogrammed FTDI FTD2XX device";

using Entries = std::vector<std::pair<std::string, LPARAM>>;

// A foreign device, an instrument and an unprogrammed bridge, listed with the bridges included:
// the instrument and the bridge, with their device numbers 1 and 2.
void SetUpEnumeration()
{
    d2xxsim::AddDevice({0x12340001, "F0001", "Other maker", false});
    AddInstrument("Trelvo X1", "TX0001");
    d2xxsim::AddDevice({kUnprogrammedId, "FT0001", "FT232R USB UART", false});
}

Entries ReadEntries(HWND combo)
{
    Entries entries;
    LRESULT count = SendMessageA(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        char text[256] = {};
        SendMessageA(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        entries.emplace_back(text, SendMessageA(combo, CB_GETITEMDATA, static_cast<WPARAM>(i), 0));
    }
    return entries;
}

// What the listing gives when the given call failed: a failed count is returned and lists
// nothing; a device that cannot be opened or described, or whose entry cannot be added, is
// missing and the others keep their device numbers; a failed close changes nothing. When every
// later call fails too, no device after the first failure is listed.
void ExpectedEnumeration(const FailedCall& failed, Mode mode, int* result, Entries* entries)
{
    *result = 3;
    *entries = {{kInstrumentLabel, 1}, {kUnprogrammedLabel, 2}};
    if (!failed.any)
        return;
    if (mode == Mode::FromNthCall && failed.function != "FT_ListDevices") {
        int firstMissing = failed.function == "FT_Close" ? failed.device + 1 : failed.device;
        entries->erase(std::remove_if(entries->begin(), entries->end(),
                                      [firstMissing](const std::pair<std::string, LPARAM>& entry) {
                                          return entry.second >= firstMissing;
                                      }),
                       entries->end());
        return;
    }
    int missing = -1;
    if (failed.function == "FT_ListDevices") {
        *result = static_cast<int>(kFailedStatus);
        entries->clear();
    }
    else if (failed.function == "FT_Open" || failed.function == "FT_GetDeviceInfo") {
        missing = failed.device;
    }
    else if (failed.function == "SendMessageA" && failed.detail.rfind("CB_ADDSTRING ", 0) == 0) {
        missing = failed.detail == std::string("CB_ADDSTRING ") + kInstrumentLabel ? 1 : 2;
    }
    else if (failed.function != "FT_Close") {
        ADD_FAILURE() << "the listing made an unexpected call: " << failed.Describe();
    }
    for (auto it = entries->begin(); it != entries->end(); ++it) {
        if (it->second == missing) {
            entries->erase(it);
            break;
        }
    }
}

void RunEnumerationFaults(Family family, Mode mode)
{
    SetUpEnumeration();
    HWND combo = CreateWindowExA(0, "COMBOBOX", "", WS_CHILD | CBS_DROPDOWNLIST, 0, 0, 100, 100,
                                 nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(combo, nullptr);

    size_t baseline = 0;
    std::set<std::string> kindsCounted, kindsFailed;
    size_t runs = 0;
    // Run 0 counts; runs 1..baseline fail one call each.
    for (size_t n = 0; n == 0 || n <= baseline; ++n) {
        SCOPED_TRACE(std::string(FamilyName(family)) + " call " + std::to_string(n));
        SendMessageA(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>("left over"));
        StartCounting(family, n, mode);
        int result = GetD2xxInstruments(combo, 0, TRUE);
        FailedCall failed;
        size_t counted = StopCounting(family, &failed, &kindsCounted);
        ++runs;
        if (n == 0) {
            baseline = counted;
            ASSERT_GT(baseline, 0u) << "the listing made no " << FamilyName(family) << " call";
        }
        EXPECT_EQ(failed.any, n > 0) << "call " << n << " of " << baseline << " never failed";
        if (failed.any) {
            kindsFailed.insert(failed.function);
        }

        int expectedResult = 0;
        Entries expectedEntries;
        ExpectedEnumeration(failed, mode, &expectedResult, &expectedEntries);
        EXPECT_EQ(result, expectedResult) << "with " << failed.Describe() << " failed";
        EXPECT_EQ(ReadEntries(combo), expectedEntries) << "with " << failed.Describe() << " failed";
        for (int device = 0; device < 3; ++device) {
            EXPECT_FALSE(d2xxsim::IsOpen(device))
                << "device " << device << " left open with " << failed.Describe() << " failed";
        }
    }
    DestroyWindow(combo);
    ExpectEveryKindFailed(kindsCounted, kindsFailed);
    std::cout << "[faults] enumeration, " << FamilyName(family) << " calls"
              << (mode == Mode::FromNthCall ? " from the n-th on" : "") << ": " << runs << " runs, "
              << baseline << " calls counted, failed in turn:";
    for (const auto& kind : kindsFailed)
        std::cout << ' ' << kind;
    std::cout << '\n';
}

TEST_F(LibraryFaults, EnumerationWithEachD2xxCallFailing)
{
    RunEnumerationFaults(Family::D2xx, Mode::NthCall);
}

TEST_F(LibraryFaults, EnumerationWithTheBridgesGoneFromEachD2xxCall)
{
    RunEnumerationFaults(Family::D2xx, Mode::FromNthCall);
}

TEST_F(LibraryFaults, EnumerationWithEachWin32CallFailing)
{
    RunEnumerationFaults(Family::Win32, Mode::NthCall);
}

// --- Download --------------------------------------------------------------------------------

const char kFirmwarePath[] = "C:\\fw\\app.bin";
const size_t kFirmwareSize = 2500;  // three blocks, the last one short

const std::set<std::string> kPortSettings = {"FT_SetBaudRate",    "FT_SetDataCharacteristics",
                                             "FT_SetFlowControl", "FT_ClrDtr",
                                             "FT_ClrRts",         "FT_SetChars",
                                             "FT_SetTimeouts"};

// How a download is meant to end when no call fails.
enum class Ending { Completed, UserCancels, ReceiverCancels };

struct DownloadScenario {
    const char* name;
    Ending ending;
    int normalResult;
};

const DownloadScenario kDownloads[] = {
    {"completed", Ending::Completed, DownloadCompleted},
    // The receiver falls silent after the first block; Cancel is pressed as the second goes.
    {"cancelled by the user", Ending::UserCancels, DownloadUserCancelled},
    // The receiver answers the second block with two CAN bytes.
    {"cancelled by the receiver", Ending::ReceiverCancels, DownloadReceiverCancelled},
};

// What a download leads to when the given call failed.
int ExpectedDownload(const DownloadScenario& scenario, const FailedCall& failed);

// What a download leads to when the bridge fails every call from the given one on: what the
// call alone leads to before the transfer and once its outcome is settled (the close, the
// receiver's cancel purge, the CAN bytes), a device error in between.
std::set<int> ExpectedDownloadFromNthCall(const DownloadScenario& scenario,
                                          const FailedCall& failed)
{
    const std::string& f = failed.function;
    if (!failed.any || f == "FT_Open" || kPortSettings.count(f) || f == "FT_Close" ||
        failed.detail == "4 bytes")
        return {ExpectedDownload(scenario, failed)};
    if (f == "FT_Purge" && failed.detail == "mask 1")
        return {DownloadReceiverCancelled};
    return {DownloadDeviceError};
}

int ExpectedDownload(const DownloadScenario& scenario, const FailedCall& failed)
{
    if (!failed.any)
        return scenario.normalResult;
    const std::string& f = failed.function;
    if (f == "CreateFileA")
        return DownloadFileError;
    if (f == "FT_Open" || kPortSettings.count(f))
        return DownloadDeviceError;
    // A dialog that cannot be shown, or whose sender cannot start, transfers nothing.
    if (f == "DialogBoxParamA" || f == "CreateThread")
        return DownloadDeviceError;
    // A file that cannot be read would arrive truncated: the transfer ends as a file error.
    if (f == "ReadFile")
        return DownloadFileError;
    // A packet that could not be handed to the bridge at all: the bridge has failed. The CAN
    // bytes of a cancel are a last word whose loss changes nothing.
    if (f == "FT_Write")
        return failed.detail == "4 bytes" ? scenario.normalResult : DownloadDeviceError;
    // One read that fails is passed over; the purges, the close, the file size, the module
    // reference, the name and a progress step are not needed for the transfer; the end message
    // is posted again.
    if (f == "FT_Read" || f == "FT_Purge" || f == "FT_Close" || f == "GetFileSize" ||
        f == "LoadLibraryA" || f == "SetDlgItemTextA" || f == "SendDlgItemMessageA" ||
        f == "PostMessageA")
        return scenario.normalResult;
    ADD_FAILURE() << "the download made an unexpected call: " << failed.Describe();
    return -1;
}

// The length of the first D2XX write or the mask of the first purge that failed, from the
// stand-in's record.
std::string FailedCallDetail(const std::string& function)
{
    for (const auto& call : d2xxsim::CallsOf(function)) {
        if (call.status == FT_OK || call.arguments.empty())
            continue;
        return function == "FT_Write" ? std::to_string(call.arguments[0]) + " bytes"
                                      : "mask " + std::to_string(call.arguments[0]);
    }
    return "";
}

void RunDownloadFaults(Family family, Mode mode, const DownloadScenario& scenario,
                       std::shared_ptr<d2xxsim::XmodemReceiverModel>* receiver)
{
    const std::vector<uint8_t> firmware = Pattern(kFirmwareSize);
    std::vector<uint8_t> padded = firmware;
    padded.resize((kFirmwareSize + 1023) / 1024 * 1024, 0x1A);

    size_t baseline = 0;
    size_t runs = 0, hangs = 0, leaks = 0;
    std::set<std::string> kindsCounted, kindsFailed;
    std::map<std::string, std::set<int>> resultsByKind;
    // Reads that time out make the number of calls vary from run to run: the runs go on past
    // the counted number until several in a row have failed no call.
    const int kQuietRuns = 4;
    int quietRuns = 0;
    for (size_t n = 0; n == 0 || quietRuns < kQuietRuns; ++n) {
        std::string run = std::string(scenario.name) + ", " + FamilyName(family) +
                          (mode == Mode::FromNthCall ? " calls from " : " call ") +
                          std::to_string(n);
        SCOPED_TRACE(run);
        receiver->reset();
        d2xxsim::Reset();
        d2xxsim::SetTimeScale(kTimeScale);
        win32sim::Reset();
        win32sim::AddVirtualFile(kFirmwarePath, firmware);
        int device = AddInstrument();
        d2xxsim::ReceiverFaults faults;
        if (scenario.ending == Ending::UserCancels)
            faults.silentFromPacket = 1;
        if (scenario.ending == Ending::ReceiverCancels)
            faults.cancelAtPacket = 1;
        *receiver = std::make_shared<d2xxsim::XmodemReceiverModel>(faults);
        d2xxsim::AttachPeer(device, std::make_shared<InsistingReceiver>(*receiver));

        // The user presses Cancel while the second packet is written: the flag is up when the
        // write returns, so that the sender makes the same calls in every run.
        std::atomic<int> writes{0};
        if (scenario.ending == Ending::UserCancels) {
            d2xxsim::SetCallObserver([&](const d2xxsim::Call& call) {
                if (call.function == "FT_Write" && ++writes == 2)
                    InterlockedExchange(&cancelRequested, 1);
            });
        }

        StartCounting(family, n, mode);
        int result;
        bool quitLeft = false, ownerEnabled = false;
        {
            Download download(kFirmwarePath, device, 115200, true);
            result = download.Wait(10s);
            if (result == -1) {
                ++hangs;
                ADD_FAILURE() << "D2xxXmodem did not return within 10 s (" << run << ")";
            }
            quitLeft = download.quitPendingAfter();
            ownerEnabled = download.parentEnabledAfter();
        }
        d2xxsim::SetCallObserver(nullptr);
        FailedCall failed;
        size_t counted = StopCounting(family, &failed, &kindsCounted);
        if (failed.function == "FT_Write" || failed.function == "FT_Purge")
            failed.detail = FailedCallDetail(failed.function);
        ++runs;
        if (n == 0) {
            baseline = counted;
            ASSERT_GT(baseline, 0u) << "the download made no " << FamilyName(family) << " call";
        }
        std::string with = "with " + failed.Describe() + " failed";
        quietRuns = failed.any || n == 0 ? 0 : quietRuns + 1;
        if (n > 0 && n <= baseline / 2) {
            EXPECT_TRUE(failed.any) << "call " << n << " of about " << baseline << " never failed";
        }
        if (failed.any) {
            resultsByKind[failed.function].insert(result);
            kindsFailed.insert(failed.function);
        }

        if (mode == Mode::NthCall) {
            EXPECT_EQ(result, ExpectedDownload(scenario, failed)) << with;
        }
        else {
            auto expected = ExpectedDownloadFromNthCall(scenario, failed);
            EXPECT_TRUE(expected.count(result)) << "result " << result << " " << with;
        }
        if (result == DownloadCompleted) {
            EXPECT_TRUE((*receiver)->Completed()) << with;
            EXPECT_EQ((*receiver)->Received(), padded) << with;
        }
        else if (mode == Mode::NthCall) {
            // (A bridge that goes while the last ACK comes back leaves a receiver that has it
            // all and a sender that cannot know.)
            EXPECT_FALSE((*receiver)->Completed()) << with;
        }
        // The receiver hears of a cancel or an unreadable file by four CAN bytes, unless
        // those very bytes could not be written.
        if ((result == DownloadUserCancelled || result == DownloadFileError) &&
            failed.function != "CreateFileA" && failed.detail != "4 bytes" &&
            mode == Mode::NthCall) {
            // The line delivers the bytes at its own rate, possibly after the call returned.
            auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
            while (!(*receiver)->SenderCancelled() && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_TRUE((*receiver)->SenderCancelled()) << "the receiver was not told, " << with;
        }
        if (failed.function == "CreateFileA") {
            EXPECT_TRUE(d2xxsim::Calls().empty()) << "a device was touched " << with;
        }
        if (failed.function == "FT_Open" || kPortSettings.count(failed.function)) {
            EXPECT_FALSE(win32sim::LastDialog()) << "a dialog ran " << with;
        }
        if (kPortSettings.count(failed.function)) {
            for (const auto& setting : kPortSettings)
                EXPECT_EQ(d2xxsim::CallsOf(setting).size(), 1u) << setting << ", " << with;
        }

        // Nothing outlives the call: device, file, thread, module reference.
        bool leaked = d2xxsim::IsOpen(device) || win32sim::CountHandles("file") != 0 ||
                      win32sim::CountHandles("thread") != 0 ||
                      win32sim::ModuleReferences(AmbrixModule()) != 1 ||
                      !win32sim::ModuleUnloads().empty();
        if (leaked)
            ++leaks;
        EXPECT_FALSE(d2xxsim::IsOpen(device)) << "device left open " << with;
        EXPECT_EQ(win32sim::CountHandles("file"), 0u) << "file left open " << with;
        EXPECT_EQ(win32sim::CountHandles("thread"), 0u) << "thread handle left open " << with;
        EXPECT_EQ(win32sim::ModuleReferences(AmbrixModule()), 1) << with;
        EXPECT_TRUE(win32sim::ModuleUnloads().empty()) << "the library was unloaded " << with;
        // The host's window works as before: enabled, no dialog left, no quit message made up.
        EXPECT_TRUE(ownerEnabled) << "the owner window stayed disabled " << with;
        EXPECT_FALSE(quitLeft) << "a quit message was left for the host " << with;
        if (auto last = win32sim::LastDialog()) {
            EXPECT_FALSE(IsWindow(last->window)) << "the dialog outlived the call " << with;
        }
        // The device is not used after its close.
        auto calls = d2xxsim::Calls();
        auto close = std::find_if(calls.begin(), calls.end(),
                                  [](const d2xxsim::Call& c) { return c.function == "FT_Close"; });
        for (auto it = close == calls.end() ? close : close + 1; it != calls.end(); ++it)
            EXPECT_NE(it->device, device) << it->function << " after FT_Close " << with;
    }
    ExpectEveryKindFailed(kindsCounted, kindsFailed);
    std::cout << "[faults] download " << scenario.name << ", " << FamilyName(family) << " calls"
              << (mode == Mode::FromNthCall ? " from the n-th on" : "") << ": " << runs << " runs, "
              << baseline << " calls counted, " << hangs << " hangs, " << leaks
              << " leaks; results by failed call:";
    for (const auto& entry : resultsByKind) {
        std::cout << ' ' << entry.first << '=';
        for (int value : entry.second)
            std::cout << (value == *entry.second.begin() ? "" : "/") << value;
    }
    std::cout << '\n';
}

class DownloadFaults : public LibraryFaults,
                       public ::testing::WithParamInterface<std::tuple<Family, int>> {};

TEST_P(DownloadFaults, EachCallFailingInTurn)
{
    RunDownloadFaults(std::get<0>(GetParam()), Mode::NthCall, kDownloads[std::get<1>(GetParam())],
                      &receiver_);
}

std::string DownloadRunName(const ::testing::TestParamInfo<DownloadFaults::ParamType>& info)
{
    const char* endings[] = {"Completed", "UserCancels", "ReceiverCancels"};
    return std::string(FamilyName(std::get<0>(info.param))) + "_" +
           endings[std::get<1>(info.param)];
}

INSTANTIATE_TEST_SUITE_P(Library, DownloadFaults,
                         ::testing::Combine(::testing::Values(Family::D2xx, Family::Win32),
                                            ::testing::Values(0, 1, 2)),
                         DownloadRunName);

// The bridge fails every call from the n-th on (Win32 has no such family).
class BridgeGoneFaults : public LibraryFaults, public ::testing::WithParamInterface<int> {};

TEST_P(BridgeGoneFaults, FromEachCallOn)
{
    RunDownloadFaults(Family::D2xx, Mode::FromNthCall, kDownloads[GetParam()], &receiver_);
}

std::string BridgeGoneRunName(const ::testing::TestParamInfo<int>& info)
{
    const char* endings[] = {"Completed", "UserCancels", "ReceiverCancels"};
    return endings[info.param];
}

INSTANTIATE_TEST_SUITE_P(Library, BridgeGoneFaults, ::testing::Values(0, 1, 2), BridgeGoneRunName);

}  // namespace
}  // namespace ambrix_test
