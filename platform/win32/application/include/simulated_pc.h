// A simulated PC for applications of the driver on the host: the driver loaded into the kernel
// stand-in, and the maker's instruments plugged into the USB stand-in and started, so that
// programs written for Windows find and use them through the Win32 application API.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kswin32::app {

struct InstrumentConfig {
    uint16_t vendorId = 0x2A4B;
    uint16_t productId = 0x0002;
    std::u16string serialNumber = u"KS0001";
    std::u16string manufacturer = u"Trelvo";
    std::u16string product = u"Loopback instrument";
    uint16_t maxPacketSize = 512;
    bool answersVendorProbe = true; // the device takes 65536-byte read chunks
    bool loopback = true;           // bulk OUT 0x02 comes back on bulk IN 0x81
};

class SimulatedPc {
  public:
    // Loads the driver's shared object into a fresh kernel and plugs in the instruments. Null
    // with *error set when the driver cannot be loaded or a device does not start.
    static std::unique_ptr<SimulatedPc> Boot(const std::string& driverPath,
                                             const std::vector<InstrumentConfig>& instruments,
                                             std::string* error);
    // Ends the process's I/O as process exit does, removes the devices and unloads the driver.
    ~SimulatedPc();
    SimulatedPc(const SimulatedPc&) = delete;
    SimulatedPc& operator=(const SimulatedPc&) = delete;

    size_t PlugIn(const InstrumentConfig& config, std::string* error); // index of the instrument
    void SurpriseRemove(size_t index); // unplugged: surprise removal, then removal
    // Bytes the instrument sends on its bulk IN endpoint; a zero-length packet ends them when
    // asked for.
    void QueueIn(size_t index, const std::vector<uint8_t>& data, bool zeroLengthPacket = false);
    // Every OUT transfer the instrument kept (instruments without loopback keep them).
    std::vector<std::vector<uint8_t>> OutTransfers(size_t index) const;
    // Driver verifier findings (each printed to stderr when found) and pool left after unload,
    // counted over the process's life; teardown findings count too.
    static size_t VerifierFindings();

    struct Impl;

  private:
    explicit SimulatedPc(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace kswin32::app
