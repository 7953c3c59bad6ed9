// The machine side of a stress sequence: the kernel with the driver loaded, the instruments on
// the USB bus, and the Plug and Play and power managers' requests. Plain types only, so that the
// application side (Win32 headers) and this side (kernel headers) never meet in one file.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stress {

struct InstrumentSetup {
    uint16_t productId = 0x0002;
    std::u16string serialNumber;
    uint16_t maxPacketSize = 512;
    bool remoteWakeup = false;
    bool answersVendorProbe = true; // 65536-byte read chunks
};

enum class StringAnswer { Answer, Stall, Silent };

// Status values the sequence looks at.
constexpr uint32_t kStatusSuccess = 0x00000000;

class Machine {
  public:
    // A fresh kernel with the driver loaded; verifier findings are collected, not fatal.
    static std::unique_ptr<Machine> Boot(const std::string& driverPath, std::string* error);
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // Plugs an instrument in, queries its capabilities and starts it; returns its number, or -1
    // with *error set.
    int PlugIn(const InstrumentSetup& setup, std::string* error);
    // "\\?\..." path of the instrument's device interface, for CreateFileW.
    std::u16string InterfacePath(int instrument) const;

    // The instrument's behaviour.
    void QueueIn(int instrument, const std::vector<uint8_t>& bytes, bool zeroLengthPacket);
    void QueueZeroLengthPacket(int instrument);
    void StallNextIn(int instrument);
    void SetStringAnswer(int instrument, StringAnswer answer);
    bool SignalWakeup(int instrument);
    bool WaitWakeHeld(int instrument) const;
    bool Connected(int instrument) const;

    // Plug and Play requests; each returns the final status.
    uint32_t QueryStop(int instrument);
    uint32_t CancelStop(int instrument);
    uint32_t Stop(int instrument);
    uint32_t Start(int instrument);
    uint32_t QueryRemove(int instrument);
    uint32_t CancelRemove(int instrument);
    // The instrument is unplugged: its port goes, then the surprise removal.
    uint32_t SurpriseRemove(int instrument);
    // The removal; the instrument's PDO goes with it.
    uint32_t Remove(int instrument);

    // Power: system requests to the instrument's stack, device requests through the power
    // manager. States are the platform's numbers (S0 1, S3 4, S4 5; D0 1, D2 3, D3 4).
    uint32_t QuerySystemPower(int instrument, int state);
    uint32_t SetSystemPower(int instrument, int state);
    uint32_t QueryDevicePower(int instrument, int state);
    uint32_t SetDevicePower(int instrument, int state);
    int DevicePower(int instrument) const; // as the bus last set it

    // Waits until the kernel's threads have nothing left to do.
    void WaitUntilQuiet();
    unsigned OutstandingIrps() const;
    // Unloads the driver; returns the pool blocks of the driver and the USB stack left behind.
    size_t Unload();
    // Verifier findings since the last call, as "rule: message".
    std::vector<std::string> TakeFindings();

    struct Impl;

  private:
    explicit Machine(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

} // namespace stress
