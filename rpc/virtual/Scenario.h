#pragma once

// What a virtual device is and how it misbehaves: its identity, its programmer, the progress it
// reports, and the faults it injects into the exchange. A scenario is plain data, so a test can
// build one field by field and a command line can pick a built-in one by name.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zantovirtual
{

// One programmable memory range as the device announces it. Start and end count units of
// 65536 words; the end is exclusive. Names longer than 12 bytes are cut to 12.
struct RangeLayout
{
    std::uint16_t startUnits = 0;
    std::uint16_t endUnits = 0;
    std::uint16_t targetId = 0;
    std::string name;
};

// One reply of a polled request. Progress 0xFFFF tells the host that the operation is over.
// The message is cut to 64 bytes and zero-padded on the wire.
struct PollStep
{
    std::uint16_t progress = 0xFFFF;
    std::uint16_t waitMs = 0;
    std::uint32_t value = 0;
    std::string message;
};

enum class FaultKind
{
    FailTransfer, // the OUT transfer carrying the request fails; the device is unharmed
    Disconnect,   // the request's transfer and every later transfer fail
    Stall,        // neither this request nor any later one is ever answered
    Garbage,      // the reply is `amount` bytes of noise without a reply marker
    Truncate,     // the reply is cut to its first `amount` bytes
    Status,       // the reply's status word is `amount`
    PayloadWords, // the reply carries `amount` payload words (zero-filled or cut)
};

// A fault hits the `atRequest`-th request (1-based) that the device receives; with a non-zero
// `command` only requests of that command are counted.
struct Fault
{
    FaultKind kind = FaultKind::FailTransfer;
    std::uint32_t atRequest = 1;
    std::uint16_t command = 0;
    std::uint32_t amount = 0;
};

struct Scenario
{
    std::string name;

    std::uint16_t vendorId = 0xFFF0;
    std::uint16_t productId = 0x5A01;
    std::uint16_t deviceVersion = 0x0104;
    // An empty string gives the device no string descriptor for it (index 0).
    std::u16string manufacturer;
    std::u16string product;
    std::u16string serialNumber;

    // Payloads of the two probe requests 0x0F00 and 0x0F01.
    std::vector<std::uint16_t> probeReply;
    std::vector<std::uint16_t> programmerProbeReply;

    std::uint16_t blockWords = 256;
    std::uint16_t tableFormat = 1;
    std::vector<RangeLayout> ranges;

    // Answer in the short reply form instead of the long one.
    bool shortFormReplies = false;

    // Each sequence is replayed from its first step once its last step has been sent; an empty
    // sequence answers every poll with status 0. The completion sequence restarts at 0x1002,
    // the verification sequence at 0x1004, an operation's sequence when the mode changes.
    std::vector<PollStep> completeSteps;
    std::vector<PollStep> verifySteps;
    std::map<std::uint16_t, std::vector<PollStep>> operationSteps;

    std::vector<Fault> faults;
};

// A well-behaved device with two ranges in table format 1 and a few progress steps everywhere.
Scenario defaultScenario();

// The scenarios a command line can name; nullopt for an unknown name.
std::optional<Scenario> builtInScenario(std::string_view name);
std::vector<std::string> builtInScenarioNames();

} // namespace zantovirtual
