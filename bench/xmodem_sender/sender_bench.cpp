// Throughput of the XMODEM-1K sender on the D2XX stand-in's line model, side by side with
// lrzsz's `sx -k` on the same line, against the stop-and-wait ceiling
//
//     1024 / ((1029 + 1) * 10 / baud + latency out + latency back)   bytes per second,
//
// the rate of a sender that loses no time: each round is one packet out, one ACK back and the
// bridge's latency each way. Both senders talk to the same receiver model, which answers at once.
// A run is timed from the sender's receipt of the receiver's 'C' to its receipt of the last
// block's ACK, so both are measured over the same rounds. A bare loop of precomputed packets on
// the same line shows how near the ceiling the stand-in itself lets a sender come.
//
// Usage: ambrix_sender_bench [--baud B[,B...]] [--blocks N] [--runs R] [--scale S] [--smoke]
// Prints one line per baud rate with the ratios; --smoke runs a small scaled case only to show
// that the benchmark works (no timing verdict). Exit status 0 unless a run failed.
#include <windows.h>

#include "ambrix.h"
#include "d2xx_sim.h"
#include "peers.h"
#include "win32_sim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
extern "C" const unsigned char ambrixResources[];
extern "C" const size_t ambrixResourcesSize;

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const uint8_t ACK = 0x06;
const DWORD kInstrumentId = (AMBRIX_OWN_VENDOR_ID << 16) | 0x0002;

struct Options {
    std::vector<unsigned long> bauds{115200, 921600};
    int blocks = 32;
    int runs = 3;
    double scale = 1.0;
};

// Times the rounds of one transfer through the call observer: from the read that returns 'C'
// to the read that returns the ACK of the last block.
class RoundTimer {
public:
    explicit RoundTimer(int blocks) : blocks_(blocks)
    {
        d2xxsim::SetCallObserver([this](const d2xxsim::Call& call) { Observe(call); });
    }
    ~RoundTimer() { d2xxsim::SetCallObserver(nullptr); }
    // Seconds of the timed rounds, or a negative value when the transfer did not get there.
    double Seconds()
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (acks_ < blocks_ || !started_)
            return -1;
        return std::chrono::duration<double>(end_ - start_).count();
    }

private:
    void Observe(const d2xxsim::Call& call)
    {
        if (call.function != "FT_Read" || call.data.size() != 1)
            return;
        auto now = Clock::now();
        std::lock_guard<std::mutex> lock(lock_);
        if (!started_ && call.data[0] == 'C') {
            started_ = true;
            start_ = now;
        } else if (started_ && call.data[0] == ACK && ++acks_ == blocks_) {
            end_ = now;
        }
    }
    int blocks_;
    std::mutex lock_;
    bool started_ = false;
    int acks_ = 0;
    Clock::time_point start_, end_;
};

std::vector<uint8_t> Image(int blocks)
{
    std::vector<uint8_t> bytes(static_cast<size_t>(blocks) * 1024);
    uint32_t state = 12345;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<uint8_t>(state >> 16);
    }
    return bytes;
}

int AddReceiver(std::shared_ptr<d2xxsim::XmodemReceiverModel>* receiver)
{
    int device = d2xxsim::AddDevice({kInstrumentId, "BENCH1", "Bench"});
    *receiver = std::make_shared<d2xxsim::XmodemReceiverModel>();
    d2xxsim::AttachPeer(device, *receiver);
    return device;
}

void Prepare(const Options& options)
{
    d2xxsim::Reset();
    win32sim::Reset();
    d2xxsim::SetTimeScale(options.scale);
}

// One download through the library's own call, the dialog on this thread.
double RunAmbrix(const Options& options, unsigned long baud, const std::vector<uint8_t>& image)
{
    Prepare(options);
    const char path[] = "C:\\bench\\image.bin";
    win32sim::AddVirtualFile(path, image);
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver;
    int device = AddReceiver(&receiver);
    RoundTimer timer(options.blocks);
    DownloadResult result = D2xxXmodem(nullptr, path, static_cast<DWORD>(device), baud);
    if (result != DownloadCompleted || !receiver->Completed()) {
        std::fprintf(stderr, "ambrix: transfer failed (%d)\n", static_cast<int>(result));
        return -1;
    }
    return timer.Seconds();
}

// The near end of the line for a program: what it prints is written to the device, what the
// device reads is fed to the program, one byte per read as the library reads.
class ProgramOnDevice : public d2xxsim::Line {
public:
    explicit ProgramOnDevice(FT_HANDLE handle) : handle_(handle) {}
    void Deliver(const std::vector<uint8_t>& bytes) override
    {
        DWORD done = 0;
        while (done < bytes.size()) {
            DWORD written = 0;
            if (FT_Write(handle_, const_cast<uint8_t*>(bytes.data()) + done,
                         static_cast<DWORD>(bytes.size() - done), &written) != FT_OK)
                return;
            done += written;
        }
    }
    void Pump(d2xxsim::PtyPeer* program, const std::atomic<bool>& stop)
    {
        while (!stop) {
            uint8_t byte = 0;
            DWORD count = 0;
            FT_Read(handle_, &byte, 1, &count);
            if (count)
                program->OnWrite(&byte, 1);
        }
    }

private:
    FT_HANDLE handle_;
};

double RunSx(const Options& options, unsigned long baud, const std::string& hostPath)
{
    Prepare(options);
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver;
    int device = AddReceiver(&receiver);
    FT_HANDLE handle = nullptr;
    if (FT_Open(device, &handle) != FT_OK)
        return -1;
    FT_SetBaudRate(handle, baud);
    FT_SetTimeouts(handle, 1000, 1000);
    RoundTimer timer(options.blocks);
    ProgramOnDevice near(handle);
    d2xxsim::PtyPeer::Options program;
    program.argv = {"sx", "-k", hostPath};
    program.startAtAttach = true;
    d2xxsim::PtyPeer sx(program);
    sx.Attach(&near);
    std::atomic<bool> stop{false};
    std::thread pump([&] { near.Pump(&sx, stop); });
    // The receiver asks to start at the purge; sx has settled and emptied its input by then.
    std::this_thread::sleep_for(300ms);
    FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    auto status = sx.WaitExit(std::chrono::seconds(30) +
                              std::chrono::duration_cast<std::chrono::seconds>(
                                  options.blocks * 2 * 1030 * 10.0 / baud * 1s * options.scale));
    stop = true;
    pump.join();
    FT_Close(handle);
    if (!status || !receiver->Completed()) {
        std::fprintf(stderr, "sx: transfer failed\n");
        return -1;
    }
    return timer.Seconds();
}

// The least a sender can do on this line: precomputed packets written and their ACKs read in a
// bare loop. It shows how close to the ceiling the stand-in's own threads let any sender come.
double RunBareLoop(const Options& options, unsigned long baud, const std::vector<uint8_t>& image)
{
    Prepare(options);
    std::shared_ptr<d2xxsim::XmodemReceiverModel> receiver;
    int device = AddReceiver(&receiver);
    std::vector<std::vector<uint8_t>> packets;
    for (int block = 0; block < options.blocks; ++block) {
        std::vector<uint8_t> packet{0x02, static_cast<uint8_t>(block + 1), static_cast<uint8_t>(254 - block)};
        packet.insert(packet.end(), image.begin() + block * 1024, image.begin() + (block + 1) * 1024);
        uint16_t crc = 0;
        for (size_t i = 3; i < packet.size(); ++i) {
            crc = static_cast<uint16_t>(crc ^ (packet[i] << 8));
            for (int bit = 0; bit < 8; ++bit)
                crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
        }
        packet.push_back(static_cast<uint8_t>(crc >> 8));
        packet.push_back(static_cast<uint8_t>(crc));
        packets.push_back(packet);
    }
    packets.push_back({0x04});
    FT_HANDLE handle = nullptr;
    if (FT_Open(device, &handle) != FT_OK)
        return -1;
    FT_SetBaudRate(handle, baud);
    FT_SetTimeouts(handle, 1000, 1000);
    RoundTimer timer(options.blocks);
    FT_Purge(handle, FT_PURGE_RX | FT_PURGE_TX);
    uint8_t byte = 0;
    DWORD count = 0;
    for (int waits = 0; byte != 'C' && waits < 20; ++waits)
        FT_Read(handle, &byte, 1, &count);
    for (auto& packet : packets) {
        for (DWORD done = 0; done < packet.size();) {
            DWORD written = 0;
            if (FT_Write(handle, packet.data() + done, static_cast<DWORD>(packet.size() - done), &written) != FT_OK)
                break;
            done += written;
        }
        byte = 0;
        for (int waits = 0; byte != ACK && waits < 20; ++waits)
            if (FT_Read(handle, &byte, 1, &count) != FT_OK || count == 0)
                byte = 0;
    }
    FT_Close(handle);
    return receiver->Completed() ? timer.Seconds() : -1;
}

double Median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

bool ParseOptions(int argc, char** argv, Options* options)
{
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--smoke") {
            options->bauds = {115200};
            options->blocks = 4;
            options->runs = 1;
            options->scale = 0.05;
        } else if (arg == "--baud" && value) {
            options->bauds.clear();
            for (char* p = argv[++i]; *p;) {
                options->bauds.push_back(std::strtoul(p, &p, 10));
                if (*p == ',')
                    ++p;
            }
        } else if (arg == "--blocks" && value) {
            options->blocks = std::atoi(argv[++i]);
        } else if (arg == "--runs" && value) {
            options->runs = std::atoi(argv[++i]);
        } else if (arg == "--scale" && value) {
            options->scale = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr, "usage: %s [--baud B[,B...]] [--blocks N] [--runs R] [--scale S] [--smoke]\n",
                         argv[0]);
            return false;
        }
    }
    return options->blocks > 0 && options->runs > 0 && options->scale > 0 && !options->bauds.empty();
}

}  // namespace

int main(int argc, char** argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options))
        return 2;
    if (!win32sim::LoadModule("ambrix.dll", ambrixResources, ambrixResourcesSize, DllMain))
        return 2;

    // The same image for both senders: a virtual file for the library, a host file for sx.
    auto image = Image(options.blocks);
    std::string dir = (std::filesystem::temp_directory_path() / "ambrix-bench-XXXXXX").string();
    if (!mkdtemp(dir.data()))
        return 2;
    std::string hostPath = dir + "/image.bin";
    int fd = open(hostPath.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || write(fd, image.data(), image.size()) != static_cast<ssize_t>(image.size()))
        return 2;
    close(fd);

    auto model = d2xxsim::CurrentLineModel();
    double latency = (model.latencyOut.count() + model.latencyBack.count()) / 1e6;
    std::printf("XMODEM-1K sender on the line model: %d blocks, %d runs (median), time scale %g, "
                "latency out %.1f ms, back %.1f ms, chip buffer %zu bytes\n",
                options.blocks, options.runs, options.scale, model.latencyOut.count() / 1e3,
                model.latencyBack.count() / 1e3, model.transmitBuffer);
    bool failed = false;
    for (unsigned long baud : options.bauds) {
        std::vector<double> ambrix, sx, bare;
        for (int run = 0; run < options.runs; ++run) {
            double a = RunAmbrix(options, baud, image);
            double s = RunSx(options, baud, hostPath);
            double b = RunBareLoop(options, baud, image);
            failed |= a <= 0 || s <= 0 || b <= 0;
            if (a > 0)
                ambrix.push_back(a);
            if (s > 0)
                sx.push_back(s);
            if (b > 0)
                bare.push_back(b);
        }
        // Rates in bytes per second of unscaled time.
        double bytes = options.blocks * 1024.0;
        double ceiling = 1024.0 / ((1029 + 1) * 10.0 / baud + latency);
        double ambrixRate = ambrix.empty() ? 0 : bytes / (Median(ambrix) / options.scale);
        double sxRate = sx.empty() ? 0 : bytes / (Median(sx) / options.scale);
        double bareRate = bare.empty() ? 0 : bytes / (Median(bare) / options.scale);
        std::printf("baud %7lu  ceiling %8.0f B/s  ambrix %8.0f B/s = %.4f of ceiling  "
                    "sx -k %8.0f B/s = %.4f of ceiling  ambrix/sx %.4f  (bare loop %.4f of ceiling)\n",
                    baud, ceiling, ambrixRate, ambrixRate / ceiling, sxRate, sxRate / ceiling,
                    sxRate > 0 ? ambrixRate / sxRate : 0.0, bareRate / ceiling);
        std::fflush(stdout);
    }
    unlink(hostPath.c_str());
    rmdir(dir.c_str());
    win32sim::Reset();
    d2xxsim::Reset();
    return failed ? 1 : 0;
}
