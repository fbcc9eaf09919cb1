#pragma once

// The device's side of the USB RPC protocol, in process: a sound device with a programmer and a
// flash model per memory range, driven by the bytes a host sends to its bulk OUT pipe and read
// back through its bulk IN pipe. It parses the request frames and builds its replies itself; it
// shares nothing with the host side but plain protocol constants.
//
// Transfer contract (what a platform binding sees, one call per USB transfer):
//   discardPendingIn()      drops reply bytes not yet read (the host's "flush IN pipe");
//   receiveOut(data, n)     one bulk OUT transfer of n bytes; false = the transfer failed;
//   sendIn(buffer, max, n)  one bulk IN transfer of up to `max` bytes; delivers n bytes and
//                           answers true, or answers false = the transfer failed. A reply longer
//                           than `max` is delivered over several IN transfers (the rest stays
//                           pending). With no reply pending it blocks until one is (a stalled
//                           device blocks until abortTransfers()).
//   abortTransfers()        from any thread: every blocked and later transfer fails at once.
// All four are safe to call from a thread other than the one that configured the device.

#include "rpc/virtual/Scenario.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace zantovirtual
{

class VirtualDevice
{
public:
    virtual ~VirtualDevice() = default;

    // Identity, as its USB descriptors give it.
    virtual std::uint16_t vendorId() const = 0;
    virtual std::uint16_t productId() const = 0;
    virtual std::uint16_t deviceVersion() const = 0;
    // The standard 18-byte device descriptor and string descriptors (index 0 = language table);
    // an empty vector when the index names no string.
    virtual std::vector<std::uint8_t> deviceDescriptor() const = 0;
    virtual std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const = 0;

    virtual void discardPendingIn() = 0;
    virtual bool receiveOut(const std::uint8_t* data, std::size_t length) = 0;
    virtual bool sendIn(std::uint8_t* buffer, std::size_t maxLength, std::size_t& delivered) = 0;
    virtual void abortTransfers() = 0;
};

// Command codes the device understands.
namespace cmd
{
constexpr std::uint16_t Probe = 0x0F00;
constexpr std::uint16_t ProbeProgrammer = 0x0F01;
constexpr std::uint16_t Describe = 0x1000;
constexpr std::uint16_t BeginWrite = 0x1001;
constexpr std::uint16_t EndWrite = 0x1002;
constexpr std::uint16_t WriteBlocks = 0x1003;
constexpr std::uint16_t BeginVerify = 0x1004;
constexpr std::uint16_t PollComplete = 0x1005;
constexpr std::uint16_t PollVerify = 0x1006;
constexpr std::uint16_t PollOperation = 0x1007;
} // namespace cmd

// Status words of the device's replies. Anything but Done and Reply is a device error.
namespace status
{
constexpr std::uint16_t Done = 0;           // accepted, nothing to report
constexpr std::uint16_t Reply = 1;          // accepted, the payload answers
constexpr std::uint16_t BadParameters = 2;  // wrong parameter count or value, or unexpected blocks
constexpr std::uint16_t OutOfRange = 3;     // an address outside every range, or past the range
constexpr std::uint16_t NoWrite = 4;        // data or end of write without a begun write
constexpr std::uint16_t BadBlock = 5;       // a block size other than the programmer's
constexpr std::uint16_t UnknownCommand = 6; // a command the device does not know
constexpr std::uint16_t BadFrame = 7;       // no request frame at all
} // namespace status

constexpr std::uint32_t RequestMagic = 0x75625542; // "BUbu"
constexpr std::uint16_t LongReplyMarker = 0x7453;  // "St"
constexpr std::uint16_t ShortReplyMarker = 0x7473; // "st"
constexpr std::size_t RequestHeaderBytes = 16;
constexpr std::size_t MaxParameterWords = 64;
constexpr std::uint32_t WordsPerUnit = 65536;

// One well-formed request as the device received it.
struct LoggedRequest
{
    std::uint32_t sequence = 0; // 1-based count of requests received
    std::uint16_t command = 0;
    std::vector<std::uint16_t> params;
    std::uint16_t blockSize = 0;
    std::uint16_t blockCount = 0;
    std::uint32_t blocksReceived = 0;
    bool answered = false;         // a reply was built (before any reply fault)
    std::uint16_t replyStatus = 0; // its status word
};

// The virtual device of a scenario, with the views that tests and diagnostics need.
class VirtualSoundDevice final : public VirtualDevice
{
public:
    explicit VirtualSoundDevice(Scenario scenario);
    ~VirtualSoundDevice() override;
    VirtualSoundDevice(const VirtualSoundDevice&) = delete;
    VirtualSoundDevice& operator=(const VirtualSoundDevice&) = delete;

    std::uint16_t vendorId() const override;
    std::uint16_t productId() const override;
    std::uint16_t deviceVersion() const override;
    std::vector<std::uint8_t> deviceDescriptor() const override;
    std::vector<std::uint8_t> stringDescriptor(std::uint8_t index) const override;

    void discardPendingIn() override;
    bool receiveOut(const std::uint8_t* data, std::size_t length) override;
    bool sendIn(std::uint8_t* buffer, std::size_t maxLength, std::size_t& delivered) override;
    void abortTransfers() override;

    const Scenario& scenario() const;

    // Flash bytes of range `rangeIndex` from word offset `wordOffset` (relative to the range's
    // start), two bytes per word; never-written words read 0xFF 0xFF. Words past the range's end
    // are not part of it and are left out.
    std::vector<std::uint8_t> readFlash(std::size_t rangeIndex, std::uint32_t wordOffset,
                                        std::uint32_t wordCount) const;
    // How many distinct words of the range have been written.
    std::uint64_t writtenWords(std::size_t rangeIndex) const;

    std::vector<LoggedRequest> requestLog() const;
    // Requests the device refused (its own status other than Done and Reply, whatever a fault
    // then made of the reply), plus frames that were not requests.
    std::uint32_t deviceErrors() const;
    std::uint32_t malformedFrames() const;
    bool disconnected() const;
    bool stalled() const;

private:
    struct State;
    std::unique_ptr<State> state;
};

std::unique_ptr<VirtualSoundDevice> createVirtualDevice(Scenario scenario);

} // namespace zantovirtual
