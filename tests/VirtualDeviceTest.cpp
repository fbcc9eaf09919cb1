#include "rpc/virtual/VirtualDevice.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace zantovirtual;

namespace
{

using Bytes = std::vector<std::uint8_t>;
using Words = std::vector<std::uint16_t>;

void putWord(Bytes& out, std::uint16_t word)
{
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
    out.push_back(static_cast<std::uint8_t>(word >> 8));
}

// A request frame laid out by hand from the frame table, independent of the device's parser.
Bytes frame(std::uint16_t command, const Words& params = {}, std::uint16_t blockSize = 0,
            std::uint16_t blockCount = 0)
{
    Bytes out = {'B', 'U', 'b', 'u'};
    putWord(out, blockSize);
    putWord(out, blockCount);
    putWord(out, command);
    putWord(out, static_cast<std::uint16_t>(params.size()));
    out.insert(out.end(), 4, 0);
    for (std::uint16_t word : params)
    {
        putWord(out, word);
    }
    return out;
}

Bytes readIn(VirtualDevice& device, std::size_t maxLength = 512)
{
    Bytes buffer(maxLength);
    std::size_t delivered = 0;
    EXPECT_TRUE(device.sendIn(buffer.data(), buffer.size(), delivered));
    buffer.resize(delivered);
    return buffer;
}

// One exchange as a host does it: flush, frame, blocks, one read of up to 512 bytes.
Bytes exchange(VirtualDevice& device, std::uint16_t command, const Words& params = {},
               const std::vector<Bytes>& blocks = {}, std::uint16_t blockSize = 0)
{
    device.discardPendingIn();
    const std::uint16_t size =
        blockSize != 0 ? blockSize
                       : (blocks.empty() ? 0 : static_cast<std::uint16_t>(blocks[0].size()));
    const Bytes request = frame(command, params, size, static_cast<std::uint16_t>(blocks.size()));
    EXPECT_TRUE(device.receiveOut(request.data(), request.size()));
    for (const Bytes& block : blocks)
    {
        EXPECT_TRUE(device.receiveOut(block.data(), block.size()));
    }
    return readIn(device);
}

std::uint16_t wordAt(const Bytes& bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes.at(offset) | (bytes.at(offset + 1) << 8));
}

std::uint16_t statusOf(const Bytes& reply)
{
    return wordAt(reply, 6);
}

// Payload words of a long-form reply, checked against its announced length.
Words payloadOf(const Bytes& reply)
{
    EXPECT_EQ(wordAt(reply, 2), 0x7453);
    const std::size_t words = wordAt(reply, 8);
    EXPECT_EQ(reply.size(), 10 + 2 * words);
    Words out;
    for (std::size_t i = 0; i < words && 10 + 2 * i + 1 < reply.size(); ++i)
    {
        out.push_back(wordAt(reply, 10 + 2 * i));
    }
    return out;
}

Bytes pattern(std::size_t length, std::uint8_t seed)
{
    Bytes out(length);
    for (std::size_t i = 0; i < length; ++i)
    {
        out[i] = static_cast<std::uint8_t>(seed + 3 * i);
    }
    return out;
}

Bytes erased(std::size_t words)
{
    return Bytes(2 * words, 0xFF);
}

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& part : parts)
    {
        out.insert(out.end(), part.begin(), part.end());
    }
    return out;
}

Bytes text(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

// Two adjacent one-unit ranges and eight-byte blocks, small enough to check word by word.
Scenario smallFlash()
{
    Scenario scenario = defaultScenario();
    scenario.blockWords = 4;
    scenario.ranges = {{0x0000, 0x0001, 1, "Firmware"}, {0x0001, 0x0002, 16, "Sounds"}};
    return scenario;
}

const Bytes BadFrameReply = {0x00, 0x00, 0x53, 0x74, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00};

TEST(VirtualDeviceIdentity, DeviceDescriptorCarriesIdsAndStringIndices)
{
    Scenario scenario = defaultScenario();
    scenario.vendorId = 0x1234;
    scenario.productId = 0xABCD;
    scenario.deviceVersion = 0x0210;
    VirtualSoundDevice device(scenario);
    EXPECT_EQ(device.vendorId(), 0x1234);
    EXPECT_EQ(device.productId(), 0xABCD);
    EXPECT_EQ(device.deviceVersion(), 0x0210);
    EXPECT_EQ(device.deviceDescriptor(), (Bytes{18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x34, 0x12,
                                                0xCD, 0xAB, 0x10, 0x02, 1, 2, 3, 1}));
    EXPECT_EQ(device.stringDescriptor(0), (Bytes{4, 3, 0x09, 0x04}));
}

TEST(VirtualDeviceIdentity, StringDescriptors)
{
    struct Case
    {
        const char* what;
        std::u16string manufacturer;
        std::u16string product;
        std::u16string serial;
        Bytes indices;              // descriptor bytes 14..16
        std::vector<Bytes> strings; // string descriptors 1..4
    };
    const std::vector<Case> cases = {
        {"all three",
         u"Ab",
         u"\u0141x",
         u"7",
         {1, 2, 3},
         {{6, 3, 'A', 0, 'b', 0}, {6, 3, 0x41, 0x01, 'x', 0}, {4, 3, '7', 0}, {}}},
        {"none", u"", u"", u"", {0, 0, 0}, {{}, {}, {}, {}}},
        {"serial only", u"", u"", u"S1", {0, 0, 3}, {{}, {}, {6, 3, 'S', 0, '1', 0}, {}}},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Scenario scenario = defaultScenario();
        scenario.manufacturer = c.manufacturer;
        scenario.product = c.product;
        scenario.serialNumber = c.serial;
        VirtualSoundDevice device(scenario);
        const Bytes descriptor = device.deviceDescriptor();
        EXPECT_EQ(Bytes(descriptor.begin() + 14, descriptor.begin() + 17), c.indices);
        for (std::uint8_t i = 1; i <= 4; ++i)
        {
            EXPECT_EQ(device.stringDescriptor(i), c.strings[i - 1]) << "index " << int{i};
        }
    }
}

TEST(VirtualDeviceIdentity, OverlongStringStopsAtTheLengthByteLimit)
{
    Scenario scenario = defaultScenario();
    scenario.product = std::u16string(200, u'p');
    VirtualSoundDevice device(scenario);
    const Bytes descriptor = device.stringDescriptor(2);
    ASSERT_EQ(descriptor.size(), 254u);
    EXPECT_EQ(descriptor[0], 254);
    EXPECT_EQ(descriptor[1], 3);
}

TEST(VirtualDeviceProbe, BothProbeRequestsAnswerWithTheirPayload)
{
    VirtualSoundDevice device(defaultScenario());
    EXPECT_EQ(exchange(device, 0x0F00), (Bytes{0x00, 0x0F, 0x53, 0x74, 0x01, 0x00, 0x01, 0x00, 0x02,
                                               0x00, 0x01, 0x00, 0x02, 0x00}));
    EXPECT_EQ(exchange(device, 0x0F01),
              (Bytes{0x01, 0x0F, 0x53, 0x74, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}));
    EXPECT_EQ(device.deviceErrors(), 0u);
}

TEST(VirtualDeviceProbe, ShortFormCarriesThePayloadFromOffsetEight)
{
    Scenario scenario = defaultScenario();
    scenario.shortFormReplies = true;
    VirtualSoundDevice device(scenario);
    EXPECT_EQ(exchange(device, 0x0F00),
              (Bytes{0x00, 0x0F, 0x73, 0x74, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00}));
}

TEST(VirtualDeviceProgrammer, DescriptionInBothTableFormats)
{
    const Bytes header = {0x00, 0x01, 0x02, 0x00};
    const Bytes soundName = concat({text("Sound Bank"), Bytes(2, 0)});
    const Bytes longName = text("ABCDEFGHIJKL");
    struct Case
    {
        std::uint16_t format;
        Bytes payload;
    };
    const std::vector<Case> cases = {
        {1, concat({header,
                    {0x01, 0x00, 0x00, 0x00},
                    {0x40, 0x00, 0x00, 0x01, 0x10, 0x00},
                    Bytes(6, 0),
                    soundName,
                    {0x00, 0x01, 0x01, 0x01, 0x01, 0x00},
                    Bytes(6, 0),
                    longName})},
        {0, concat({header,
                    {0x00, 0x00, 0x00, 0x00},
                    {0x40, 0x00, 0x00, 0x01},
                    soundName,
                    {0x00, 0x01, 0x01, 0x01},
                    longName})},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.format);
        Scenario scenario = defaultScenario();
        scenario.blockWords = 0x0100;
        scenario.tableFormat = c.format;
        scenario.ranges = {{0x0040, 0x0100, 16, "Sound Bank"},
                           {0x0100, 0x0101, 1, "ABCDEFGHIJKLMNOP"}};
        VirtualSoundDevice device(scenario);
        Bytes expected = {0x00, 0x10, 0x53, 0x74, 0x01, 0x00, 0x01, 0x00};
        putWord(expected, static_cast<std::uint16_t>(c.payload.size() / 2));
        expected.insert(expected.end(), c.payload.begin(), c.payload.end());
        EXPECT_EQ(exchange(device, 0x1000, {1}), expected);
    }
}

TEST(VirtualDeviceProgrammer, DescriptionWantsTheSingleParameterOne)
{
    for (const Words& params : {Words{}, Words{2}, Words{1, 0}})
    {
        VirtualSoundDevice device(defaultScenario());
        const Bytes reply = exchange(device, 0x1000, params);
        EXPECT_EQ(statusOf(reply), 2);
        EXPECT_TRUE(payloadOf(reply).empty());
        EXPECT_EQ(device.deviceErrors(), 1u);
    }
}

TEST(VirtualDeviceFlash, BlocksLandAtTheWordAddressAndAdvance)
{
    VirtualSoundDevice device(smallFlash());
    // Word address 0x00010006: range 1, word 6; the address goes low word first.
    EXPECT_EQ(statusOf(exchange(device, 0x1001, {0x0006, 0x0001})), 0);
    const Bytes first = pattern(8, 0x10);
    const Bytes second = pattern(8, 0x40);
    const Bytes third = pattern(8, 0x90);
    EXPECT_EQ(statusOf(exchange(device, 0x1003, {}, {first, second})), 0);
    EXPECT_EQ(statusOf(exchange(device, 0x1003, {}, {third})), 0);
    EXPECT_EQ(statusOf(exchange(device, 0x1002)), 0);

    EXPECT_EQ(device.readFlash(1, 4, 16), concat({erased(2), first, second, third, erased(2)}));
    EXPECT_EQ(device.writtenWords(1), 12u);
    EXPECT_EQ(device.writtenWords(0), 0u);
    EXPECT_EQ(device.deviceErrors(), 0u);

    const std::vector<LoggedRequest> log = device.requestLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[0].command, 0x1001);
    EXPECT_EQ(log[0].params, (Words{0x0006, 0x0001}));
    EXPECT_EQ(log[1].command, 0x1003);
    EXPECT_EQ(log[1].blockSize, 8);
    EXPECT_EQ(log[1].blockCount, 2);
    EXPECT_EQ(log[1].blocksReceived, 2u);
    EXPECT_EQ(log[2].blockCount, 1);
    EXPECT_EQ(log[3].command, 0x1002);
    EXPECT_EQ(log[3].sequence, 4u);
}

TEST(VirtualDeviceFlash, WritePastTheRangeEndIsRefusedAndNothingSpills)
{
    VirtualSoundDevice device(smallFlash());
    // Two words before the end of range 0; range 1 starts right after it.
    EXPECT_EQ(statusOf(exchange(device, 0x1001, {0xFFFE, 0x0000})), 0);
    const Bytes block = pattern(8, 0x21);
    const Bytes reply = exchange(device, 0x1003, {}, {block, pattern(8, 0x61)});
    EXPECT_EQ(statusOf(reply), 3);
    EXPECT_EQ(device.readFlash(0, 0xFFFC, 8),
              concat({erased(2), Bytes(block.begin(), block.begin() + 4)}));
    EXPECT_EQ(device.writtenWords(0), 2u);
    EXPECT_EQ(device.writtenWords(1), 0u);
    EXPECT_EQ(device.readFlash(1, 0, 4), erased(4));
    EXPECT_EQ(device.deviceErrors(), 1u);
}

struct Request
{
    std::uint16_t command;
    Words params;
    std::vector<Bytes> blocks;
    std::uint16_t blockSize = 0; // announced in the header; 0 = the first block's length
};

TEST(VirtualDeviceFlash, RequestsTheDeviceRefuses)
{
    const Request begin{0x1001, {0x0000, 0x0000}, {}};
    struct Case
    {
        const char* what;
        std::vector<Request> before;
        Request request;
        std::uint16_t status;
    };
    const std::vector<Case> cases = {
        {"address in no range", {}, {0x1001, {0x0000, 0x0005}, {}}, 3},
        {"address one past the last range", {}, {0x1001, {0x0000, 0x0002}, {}}, 3},
        {"begin with one word", {}, {0x1001, {0x0000}, {}}, 2},
        {"data without a begun write", {}, {0x1003, {}, {pattern(8, 1)}}, 4},
        {"data after the write ended", {begin, {0x1002, {}, {}}}, {0x1003, {}, {pattern(8, 1)}}, 4},
        {"data after a refused begin",
         {{0x1001, {0x0000, 0x0005}, {}}},
         {0x1003, {}, {pattern(8, 1)}},
         4},
        {"block size not the programmer's", {begin}, {0x1003, {}, {pattern(6, 1)}}, 5},
        {"block shorter than announced", {begin}, {0x1003, {}, {pattern(6, 1)}, 8}, 5},
        {"write request without blocks", {begin}, {0x1003, {}, {}}, 2},
        {"write request with parameters", {begin}, {0x1003, {7}, {pattern(8, 1)}}, 2},
        {"end without a begun write", {}, {0x1002, {}, {}}, 4},
        {"blocks on a probe", {}, {0x0F00, {}, {pattern(8, 1)}}, 2},
        {"complete poll with one word", {}, {0x1005, {0xFFFF}, {}}, 2},
        {"verify poll with two words", {}, {0x1006, {0xFFFF, 50}, {}}, 2},
        {"operation poll of an unknown mode", {}, {0x1007, Words(37, 0), {}}, 2},
        {"unknown command", {}, {0x1234, {}, {}}, 6},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        VirtualSoundDevice device(smallFlash());
        for (const Request& r : c.before)
        {
            exchange(device, r.command, r.params, r.blocks, r.blockSize);
        }
        const std::uint32_t errorsBefore = device.deviceErrors();
        const Bytes reply = exchange(device, c.request.command, c.request.params, c.request.blocks,
                                     c.request.blockSize);
        EXPECT_EQ(statusOf(reply), c.status);
        EXPECT_EQ(device.deviceErrors(), errorsBefore + 1);
        EXPECT_EQ(device.writtenWords(0) + device.writtenWords(1), 0u);
        EXPECT_EQ(device.requestLog().back().replyStatus, c.status);
    }
}

TEST(VirtualDevicePolling, CompletionAndVerificationSequences)
{
    Scenario scenario = smallFlash();
    scenario.completeSteps = {{0, 20, 0, ""}, {60, 30, 0, ""}, {0xFFFF, 40, 0, ""}};
    scenario.verifySteps = {{25, 5, 0x00010002, ""}, {0xFFFF, 6, 0xCAFEBABE, ""}};
    VirtualSoundDevice device(scenario);

    const std::vector<Words> complete = {{0, 20}, {60, 30}, {0xFFFF, 40}, {0, 20}};
    for (const Words& expected : complete)
    {
        const Bytes reply = exchange(device, 0x1005, {0xFFFF, 50});
        EXPECT_EQ(statusOf(reply), 1);
        EXPECT_EQ(payloadOf(reply), expected);
    }
    // Ending a write starts the completion over.
    exchange(device, 0x1001, {0, 0});
    exchange(device, 0x1002);
    EXPECT_EQ(payloadOf(exchange(device, 0x1005, {0xFFFF, 50})), (Words{0, 20}));

    // The value goes high word first.
    EXPECT_EQ(payloadOf(exchange(device, 0x1006, {0xFFFF, 50, 0, 0})),
              (Words{25, 5, 0x0001, 0x0002}));
    exchange(device, 0x1004);
    EXPECT_EQ(payloadOf(exchange(device, 0x1006, {0xFFFF, 5, 0x0001, 0x0002})),
              (Words{25, 5, 0x0001, 0x0002}));
    EXPECT_EQ(payloadOf(exchange(device, 0x1006, {0xFFFF, 5, 0x0001, 0x0002})),
              (Words{0xFFFF, 6, 0xCAFE, 0xBABE}));
    EXPECT_EQ(device.requestLog().back().params, (Words{0xFFFF, 5, 0x0001, 0x0002}));
}

Words operationRequest(std::uint16_t mode)
{
    Words params(37, 0);
    params[0] = mode;
    params[1] = 0xFFFF;
    params[2] = 50;
    return params;
}

TEST(VirtualDevicePolling, EmptySequenceAnswersStatusZero)
{
    Scenario scenario = defaultScenario();
    scenario.completeSteps.clear();
    scenario.operationSteps[1].clear();
    VirtualSoundDevice device(scenario);
    EXPECT_EQ(exchange(device, 0x1005, {0xFFFF, 50}),
              (Bytes{0x05, 0x10, 0x53, 0x74, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(exchange(device, 0x1007, operationRequest(1)),
              (Bytes{0x07, 0x10, 0x53, 0x74, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(device.deviceErrors(), 0u);
}

TEST(VirtualDevicePolling, OperationModesWithValueAndMessage)
{
    const std::string full(64, 'm');
    Scenario scenario = defaultScenario();
    scenario.operationSteps[3] = {{40, 5, 0x12345678, "Erasing"}, {0xFFFF, 0, 0x9ABCDEF0, full}};
    scenario.operationSteps[4] = {{10, 7, 1, "Done"}, {20, 7, 2, "Done"}, {0xFFFF, 7, 3, "Done"}};
    VirtualSoundDevice device(scenario);

    struct Expected
    {
        std::uint16_t mode;
        Words head; // progress, waitMs, value low word, value high word
        Bytes message;
    };
    const std::vector<Expected> steps = {
        {3, {40, 5, 0x5678, 0x1234}, concat({text("Erasing"), Bytes(57, 0)})},
        {3, {0xFFFF, 0, 0xDEF0, 0x9ABC}, text(full)},
        {3, {40, 5, 0x5678, 0x1234}, concat({text("Erasing"), Bytes(57, 0)})},
        // A new mode starts at its own first step.
        {4, {10, 7, 1, 0}, concat({text("Done"), Bytes(60, 0)})},
        // Another mode in between starts mode 3 over.
        {3, {40, 5, 0x5678, 0x1234}, concat({text("Erasing"), Bytes(57, 0)})},
    };
    for (const Expected& step : steps)
    {
        const Bytes reply = exchange(device, 0x1007, operationRequest(step.mode));
        EXPECT_EQ(statusOf(reply), 1);
        const Words payload = payloadOf(reply);
        ASSERT_EQ(payload.size(), 36u);
        EXPECT_EQ(Words(payload.begin(), payload.begin() + 4), step.head);
        EXPECT_EQ(Bytes(reply.begin() + 18, reply.end()), step.message);
    }
    EXPECT_EQ(device.requestLog().back().params, operationRequest(3));
}

TEST(VirtualDeviceTransfer, LongReplyArrivesOver512ByteTransfers)
{
    VirtualSoundDevice device(*builtInScenario("long-reply"));
    const Bytes request = frame(0x1000, {1});
    ASSERT_TRUE(device.receiveOut(request.data(), request.size()));
    const Bytes first = readIn(device);
    ASSERT_EQ(first.size(), 512u);
    EXPECT_EQ(wordAt(first, 8), 8 / 2 + 24 * 12); // 292 payload words: 594 bytes in all
    const Bytes second = readIn(device, 64);
    const Bytes third = readIn(device);
    ASSERT_EQ(second.size(), 64u);
    ASSERT_EQ(third.size(), 18u);
    const Bytes whole = concat({first, second, third});
    EXPECT_EQ(Bytes(whole.end() - 12, whole.end()), concat({text("Bank 24"), Bytes(5, 0)}));
    EXPECT_EQ(payloadOf(whole).size(), 292u);
}

TEST(VirtualDeviceTransfer, DiscardDropsTheRestOfAReply)
{
    VirtualSoundDevice device(*builtInScenario("long-reply"));
    const Bytes request = frame(0x1000, {1});
    ASSERT_TRUE(device.receiveOut(request.data(), request.size()));
    readIn(device);
    device.discardPendingIn();
    EXPECT_EQ(exchange(device, 0x0F01),
              (Bytes{0x01, 0x0F, 0x53, 0x74, 0x02, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00}));
}

// The host's opening sequence: both probes, the programmer probe again, the description.
const std::vector<Request> OpeningScript = {
    {0x0F00, {}, {}}, {0x0F01, {}, {}}, {0x0F01, {}, {}}, {0x1000, {1}, {}}};

TEST(VirtualDeviceFaults, ReplyFaultsAgainstAFaultFreeDevice)
{
    const std::vector<Request> script = {
        {0x0F00, {}, {}}, {0x1005, {0xFFFF, 50}, {}}, {0x0F01, {}, {}}, {0x1005, {0xFFFF, 50}, {}}};
    struct Case
    {
        const char* what;
        Fault fault;
        std::size_t hit; // index into the script
        std::function<Bytes(const Bytes&)> expected;
    };
    const std::vector<Case> cases = {
        {"status at request 2",
         {FaultKind::Status, 2, 0, 9},
         1,
         [](Bytes r)
         {
             r[6] = 9;
             r[7] = 0;
             return r;
         }},
        {"status at the second complete poll",
         {FaultKind::Status, 2, 0x1005, 0x0102},
         3,
         [](Bytes r)
         {
             r[6] = 0x02;
             r[7] = 0x01;
             return r;
         }},
        {"truncated to 6 bytes",
         {FaultKind::Truncate, 1, 0, 6},
         0,
         [](const Bytes& r) { return Bytes(r.begin(), r.begin() + 6); }},
        {"truncated to nothing",
         {FaultKind::Truncate, 3, 0, 0},
         2,
         [](const Bytes&) { return Bytes{}; }},
        {"three payload words where two belong",
         {FaultKind::PayloadWords, 1, 0x1005, 3},
         1,
         [](Bytes r)
         {
             r[8] = 3;
             r.insert(r.end(), {0, 0});
             return r;
         }},
        {"one payload word where two belong",
         {FaultKind::PayloadWords, 1, 0x1005, 1},
         1,
         [](Bytes r)
         {
             r[8] = 1;
             r.resize(12);
             return r;
         }},
        {"600 payload words on a probe",
         {FaultKind::PayloadWords, 1, 0x0F00, 600},
         0,
         [](Bytes r)
         {
             r[8] = 600 & 0xFF;
             r[9] = 600 >> 8;
             r.resize(10 + 1200, 0);
             return Bytes(r.begin(), r.begin() + 512); // the first IN transfer
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        VirtualSoundDevice clean(defaultScenario());
        Scenario scenario = defaultScenario();
        scenario.faults = {c.fault};
        VirtualSoundDevice faulty(scenario);
        for (std::size_t i = 0; i < script.size(); ++i)
        {
            const Bytes normal = exchange(clean, script[i].command, script[i].params);
            const Bytes reply = exchange(faulty, script[i].command, script[i].params);
            EXPECT_EQ(reply, i == c.hit ? c.expected(normal) : normal) << "request " << i;
        }
        EXPECT_EQ(faulty.deviceErrors(), 0u);
    }
}

TEST(VirtualDeviceFaults, GarbageReplyHasNoMarker)
{
    Scenario scenario = defaultScenario();
    scenario.faults = {{FaultKind::Garbage, 2, 0, 24}};
    VirtualSoundDevice device(scenario);
    EXPECT_EQ(statusOf(exchange(device, 0x0F00)), 1);
    const Bytes garbage = exchange(device, 0x0F01);
    ASSERT_EQ(garbage.size(), 24u);
    EXPECT_NE(wordAt(garbage, 2), 0x7453);
    EXPECT_NE(wordAt(garbage, 2), 0x7473);
    EXPECT_NE(garbage, exchange(device, 0x0F01));
}

TEST(VirtualDeviceFaults, FailedTransferLeavesTheDeviceWorking)
{
    Scenario scenario = defaultScenario();
    scenario.faults = {{FaultKind::FailTransfer, 2, 0, 0}};
    VirtualSoundDevice device(scenario);
    exchange(device, 0x0F00);
    const Bytes request = frame(0x0F01);
    EXPECT_FALSE(device.receiveOut(request.data(), request.size()));
    EXPECT_EQ(statusOf(exchange(device, 0x0F01)), 1);
    const std::vector<LoggedRequest> log = device.requestLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_FALSE(log[1].answered);
    EXPECT_TRUE(log[2].answered);
    EXPECT_FALSE(device.disconnected());
}

TEST(VirtualDeviceFaults, DisconnectFailsEveryLaterTransfer)
{
    Scenario scenario = smallFlash();
    scenario.faults = {{FaultKind::Disconnect, 3, 0, 0}};
    VirtualSoundDevice device(scenario);
    exchange(device, 0x1001, {0, 0});
    // The reply to request 2 is never read: the disconnect takes it away.
    const Bytes second = frame(0x0F00);
    ASSERT_TRUE(device.receiveOut(second.data(), second.size()));
    const Bytes third = frame(0x0F01);
    EXPECT_FALSE(device.receiveOut(third.data(), third.size()));
    EXPECT_TRUE(device.disconnected());
    std::uint8_t buffer[512];
    std::size_t delivered = 99;
    EXPECT_FALSE(device.sendIn(buffer, sizeof buffer, delivered));
    EXPECT_EQ(delivered, 0u);
    const Bytes block = pattern(8, 1);
    EXPECT_FALSE(device.receiveOut(block.data(), block.size()));
    EXPECT_EQ(device.requestLog().size(), 3u);
}

TEST(VirtualDeviceFaults, AbortUnblocksAWaitingReadFromAnotherThread)
{
    struct Case
    {
        const char* what;
        std::vector<Fault> faults;
        bool sendRequest;
    };
    const std::vector<Case> cases = {
        {"stalled at the first write", {{FaultKind::Stall, 1, 0x1003, 0}}, true},
        {"nothing asked", {}, false},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        Scenario scenario = smallFlash();
        scenario.faults = c.faults;
        VirtualSoundDevice device(scenario);
        if (c.sendRequest)
        {
            exchange(device, 0x1001, {0, 0});
            const Bytes request = frame(0x1003, {}, 8, 1);
            const Bytes block = pattern(8, 5);
            ASSERT_TRUE(device.receiveOut(request.data(), request.size()));
            ASSERT_TRUE(device.receiveOut(block.data(), block.size()));
            EXPECT_TRUE(device.stalled());
            EXPECT_EQ(device.readFlash(0, 0, 4), block); // the data still went in
        }
        std::atomic<bool> returned{false};
        bool result = true;
        std::thread reader(
            [&]
            {
                std::uint8_t buffer[512];
                std::size_t delivered = 0;
                result = device.sendIn(buffer, sizeof buffer, delivered);
                returned = true;
            });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(returned.load());
        const auto aborted = std::chrono::steady_clock::now();
        device.abortTransfers();
        reader.join();
        EXPECT_LT(std::chrono::steady_clock::now() - aborted, std::chrono::seconds(1));
        EXPECT_FALSE(result);
        const Bytes request = frame(0x0F00);
        EXPECT_FALSE(device.receiveOut(request.data(), request.size()));
        std::uint8_t buffer[16];
        std::size_t delivered = 0;
        EXPECT_FALSE(device.sendIn(buffer, sizeof buffer, delivered));
    }
}

TEST(VirtualDeviceFrames, MalformedFramesAreAnsweredAndForgotten)
{
    const Bytes probe = frame(0x0F00);
    auto with = [](Bytes bytes, std::size_t offset, std::uint16_t word)
    {
        bytes[offset] = static_cast<std::uint8_t>(word & 0xFF);
        bytes[offset + 1] = static_cast<std::uint8_t>(word >> 8);
        return bytes;
    };
    struct Case
    {
        const char* what;
        Bytes bytes;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"one byte", {'B'}},
        {"fifteen bytes", Bytes(probe.begin(), probe.begin() + 15)},
        {"bad magic", with(probe, 2, 0x7662)},
        {"65 parameter words", frame(0x1007, Words(65, 0))},
        {"parameter count 0xFFFF in a bare header", with(probe, 10, 0xFFFF)},
        {"fewer parameter bytes than announced", with(frame(0x1001, {1, 2}), 10, 3)},
        {"more parameter bytes than announced", concat({probe, {0, 0}})},
        {"odd trailing byte", concat({probe, {0}})},
        {"block count without block size", with(probe, 6, 2)},
        {"block size without block count", with(probe, 4, 8)},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.what);
        VirtualSoundDevice device(defaultScenario());
        EXPECT_TRUE(device.receiveOut(c.bytes.data(), c.bytes.size()));
        EXPECT_EQ(readIn(device), BadFrameReply);
        EXPECT_EQ(device.malformedFrames(), 1u);
        EXPECT_EQ(device.deviceErrors(), 1u);
        EXPECT_TRUE(device.requestLog().empty());
        EXPECT_EQ(wordAt(exchange(device, 0x0F00), 4), 1); // the first real request
    }
}

TEST(VirtualDeviceFrames, RandomBytesNeverBreakTheDevice)
{
    std::mt19937 random(20261211);
    VirtualSoundDevice device(smallFlash());
    for (int round = 0; round < 3000; ++round)
    {
        Bytes bytes(random() % 200);
        for (std::uint8_t& b : bytes)
        {
            b = static_cast<std::uint8_t>(random());
        }
        if (bytes.size() >= 16 && random() % 2 == 0)
        {
            // Mostly plausible headers reach the command handlers too.
            const Bytes header = frame(static_cast<std::uint16_t>(0x0F00 + random() % 0x110), {},
                                       static_cast<std::uint16_t>(random() % 3 * 4),
                                       static_cast<std::uint16_t>(random() % 3));
            std::copy(header.begin(), header.begin() + 10, bytes.begin());
            const std::size_t words = (bytes.size() - 16) / 2;
            bytes.resize(16 + 2 * words);
            bytes[10] = static_cast<std::uint8_t>(words);
            bytes[11] = 0;
        }
        ASSERT_TRUE(device.receiveOut(bytes.data(), bytes.size()));
    }
    EXPECT_GT(device.malformedFrames(), 0u);
    EXPECT_GT(device.requestLog().size(), 0u);
}

TEST(VirtualDeviceScenarios, EveryBuiltInScenarioOpensLikeAProgrammer)
{
    const std::vector<std::string> names = builtInScenarioNames();
    for (const char* wanted : {"default", "two-ranges-format0", "stall", "disconnect-at-5",
                               "garbage-reply", "long-reply"})
    {
        EXPECT_NE(std::find(names.begin(), names.end(), wanted), names.end()) << wanted;
    }
    for (const std::string& name : names)
    {
        SCOPED_TRACE(name);
        const std::optional<Scenario> scenario = builtInScenario(name);
        ASSERT_TRUE(scenario.has_value());
        EXPECT_EQ(scenario->name, name);
        VirtualSoundDevice device(*scenario);
        Bytes reply;
        for (const Request& r : OpeningScript)
        {
            device.discardPendingIn();
            const Bytes request = frame(r.command, r.params);
            ASSERT_TRUE(device.receiveOut(request.data(), request.size()));
            reply = readIn(device);
            EXPECT_EQ(statusOf(reply), 1);
        }
        if (reply.size() == 512)
        {
            reply = concat({reply, readIn(device)});
        }
        const bool shortForm = wordAt(reply, 2) == 0x7473;
        const std::size_t payloadOffset = shortForm ? 8 : 10;
        const std::size_t payloadBytes = reply.size() - payloadOffset;
        const std::uint16_t ranges = wordAt(reply, payloadOffset + 2);
        const std::uint16_t format = wordAt(reply, payloadOffset + 4);
        EXPECT_EQ(payloadBytes, 8u + ranges * (format == 1 ? 24u : 16u));
        EXPECT_GT(ranges, 0);
    }
    EXPECT_FALSE(builtInScenario("no-such-device").has_value());
}

TEST(VirtualDeviceScenarios, NamedFaultsStrikeWhereTheirNamesSay)
{
    struct Case
    {
        const char* name;
        Request request; // sent after the opening script
        std::function<void(VirtualSoundDevice&, const Request&)> check;
    };
    auto send = [](VirtualSoundDevice& device, const Request& r)
    {
        device.discardPendingIn();
        const Bytes request = frame(r.command, r.params);
        return device.receiveOut(request.data(), request.size());
    };
    const std::vector<Case> cases = {
        {"disconnect-at-5",
         {0x1007, operationRequest(1), {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_FALSE(send(d, r));
             EXPECT_TRUE(d.disconnected());
         }},
        {"stall",
         {0x1001, {0x0000, 0x0000}, {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             readIn(d);
             const Bytes request = frame(0x1003, {}, 512, 1);
             const Bytes block(512, 0x5A);
             EXPECT_TRUE(d.receiveOut(request.data(), request.size()));
             EXPECT_TRUE(d.receiveOut(block.data(), block.size()));
             EXPECT_TRUE(d.stalled());
         }},
        {"garbage-reply",
         {0x1005, {0xFFFF, 50}, {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             const Bytes reply = readIn(d);
             EXPECT_EQ(reply.size(), 24u);
             EXPECT_NE(wordAt(reply, 2), 0x7453);
         }},
        {"error-status",
         {0x1006, {0xFFFF, 50, 0, 0}, {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             EXPECT_EQ(statusOf(readIn(d)), 7);
         }},
        {"wrong-length",
         {0x1005, {0xFFFF, 50}, {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             EXPECT_EQ(payloadOf(readIn(d)).size(), 3u);
         }},
        {"truncated-reply",
         {0x1007, operationRequest(1), {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             EXPECT_EQ(readIn(d).size(), 6u);
         }},
        {"fail-write",
         {0x1001, {0x0000, 0x0000}, {}},
         [&](VirtualSoundDevice& d, const Request& r)
         {
             EXPECT_TRUE(send(d, r));
             const Bytes request = frame(0x1003, {}, 512, 1);
             EXPECT_FALSE(d.receiveOut(request.data(), request.size()));
             EXPECT_FALSE(d.disconnected());
         }},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        VirtualSoundDevice device(*builtInScenario(c.name));
        for (const Request& r : OpeningScript)
        {
            ASSERT_TRUE(send(device, r));
            readIn(device);
        }
        c.check(device, c.request);
    }
}

} // namespace
