// The request/reply exchange as the virtual device sees it, transfer by transfer.

#include "RpcTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <thread>

using namespace rpctest;
using zantovirtual::Fault;
using zantovirtual::FaultKind;
using zantovirtual::Scenario;

namespace
{

std::vector<std::uint8_t> header(std::uint16_t blockSize, std::uint16_t blockCount,
                                 std::uint16_t command, std::uint16_t paramWords)
{
    std::vector<std::uint8_t> bytes = {'B', 'U', 'b', 'u'};
    const auto rest = le16({blockSize, blockCount, command, paramWords, 0, 0});
    bytes.insert(bytes.end(), rest.begin(), rest.end());
    return bytes;
}

std::vector<std::uint16_t> replyWords(ZantoRpc::UsbDevice& device)
{
    const std::uint16_t* data = device.getReplyData();
    return std::vector<std::uint16_t>(data, data + device.getReplyLength());
}

Scenario probeAnswering(std::vector<std::uint16_t> payload)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.probeReply = std::move(payload);
    return scenario;
}

std::vector<std::uint16_t> countingWords(std::size_t count)
{
    std::vector<std::uint16_t> words(count);
    for (std::size_t i = 0; i < count; ++i)
        words[i] = static_cast<std::uint16_t>(0x5100 + i);
    return words;
}

struct FramingCase
{
    const char* name;
    std::uint16_t command;
    std::vector<std::uint8_t> params;
    std::size_t dataBytes; // a data pointer of this many bytes, or none when 0
    std::uint32_t blockSize;
    std::uint32_t blockCount;
    std::uint16_t headerBlockSize;
    std::uint16_t headerBlockCount;
    std::size_t blockWrites;
};

class Framing : public testing::TestWithParam<FramingCase>
{
};

TEST_P(Framing, RequestThenBlocksThenOneFullRead)
{
    const FramingCase& c = GetParam();
    Rig rig(zantovirtual::defaultScenario());
    std::vector<std::uint8_t> data(c.dataBytes);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + 1);

    ASSERT_TRUE(rig.device->exchange(c.command, c.params.empty() ? nullptr : c.params.data(),
                                     static_cast<std::uint32_t>(c.params.size()),
                                     data.empty() ? nullptr : data.data(), c.blockSize,
                                     c.blockCount));

    const std::vector<Transfer> transfers = rig.tap->takeTransfers();
    ASSERT_EQ(transfers.size(), 3 + c.blockWrites);
    EXPECT_EQ(transfers[0].kind, Transfer::Discard);

    std::vector<std::uint8_t> request = header(c.headerBlockSize, c.headerBlockCount, c.command,
                                               static_cast<std::uint16_t>(c.params.size() / 2));
    request.insert(request.end(), c.params.begin(), c.params.end());
    EXPECT_EQ(transfers[1].kind, Transfer::Out);
    EXPECT_EQ(transfers[1].bytes, request);

    for (std::size_t b = 0; b < c.blockWrites; ++b)
    {
        const Transfer& write = transfers[2 + b];
        EXPECT_EQ(write.kind, Transfer::Out);
        const auto* from = data.data() + b * c.blockSize;
        EXPECT_EQ(write.bytes, std::vector<std::uint8_t>(from, from + c.blockSize)) << b;
    }
    EXPECT_EQ(transfers.back().kind, Transfer::In);
    EXPECT_EQ(transfers.back().asked, 512u);

    const auto log = rig.tap->sound().requestLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].command, c.command);
    EXPECT_EQ(log[0].blockSize, c.headerBlockSize);
    EXPECT_EQ(log[0].blockCount, c.headerBlockCount);
    EXPECT_EQ(log[0].blocksReceived, c.blockWrites);
    EXPECT_EQ(log[0].params.size(), c.params.size() / 2);
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, Framing,
    testing::Values(FramingCase{"NoParameters", 0x0F00, {}, 0, 0, 0, 0, 0, 0},
                    FramingCase{"FourParameterBytes", 0x1001, le16({0x0000, 0x0040}), 0, 0, 0, 0, 0,
                                0},
                    FramingCase{"MaximumParameters", 0x1007, std::vector<std::uint8_t>(128, 0x3C),
                                0, 0, 0, 0, 0, 0},
                    FramingCase{"ThreeBlocksOf64", 0x1003, {}, 192, 64, 3, 64, 3, 3},
                    FramingCase{"DataWithBlockCountZero", 0x1003, {}, 64, 64, 0, 0, 0, 0},
                    FramingCase{"DataWithBlockSizeZero", 0x1003, {}, 64, 0, 2, 0, 0, 0},
                    FramingCase{"BlockCountWithoutData", 0x1003, {}, 0, 64, 3, 0, 0, 0}),
    [](const testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

struct BadParamCase
{
    const char* name;
    bool pointer;
    std::uint32_t length;
};

class BadParameters : public testing::TestWithParam<BadParamCase>
{
};

TEST_P(BadParameters, RejectedBeforeAnyTransfer)
{
    const BadParamCase& c = GetParam();
    Rig rig(probeAnswering({0x1111, 0x2222}));
    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    ASSERT_EQ(rig.device->getReplyLength(), 2u);
    rig.tap->takeTransfers();

    const std::vector<std::uint8_t> params(200, 0);
    EXPECT_FALSE(
        rig.device->exchange(0x0F00, c.pointer ? params.data() : nullptr, c.length, nullptr, 0, 0));
    EXPECT_TRUE(rig.device->isOk());
    EXPECT_EQ(rig.device->getReplyLength(), 0u);
    EXPECT_TRUE(rig.tap->takeTransfers().empty());
    EXPECT_EQ(rig.tap->sound().requestLog().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rpc, BadParameters,
                         testing::Values(BadParamCase{"Length129", true, 129},
                                         BadParamCase{"Length130", true, 130},
                                         BadParamCase{"OddLength3", true, 3},
                                         BadParamCase{"PointerWithLength0", true, 0},
                                         BadParamCase{"NullWithLength2", false, 2}),
                         [](const testing::TestParamInfo<BadParamCase>& info)
                         { return std::string(info.param.name); });

TEST(RpcExchange, LongReplyIsReadAs512ThenTheRest)
{
    const std::vector<std::uint16_t> payload = countingWords(300);
    Rig rig(probeAnswering(payload));

    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));

    std::vector<Transfer> reads;
    for (const Transfer& t : rig.tap->takeTransfers())
        if (t.kind == Transfer::In)
            reads.push_back(t);
    ASSERT_EQ(reads.size(), 2u);
    EXPECT_EQ(reads[0].asked, 512u);
    EXPECT_EQ(reads[0].bytes.size(), 512u);
    EXPECT_EQ(reads[1].asked, 98u);
    EXPECT_EQ(reads[1].bytes.size(), 98u);

    EXPECT_EQ(rig.device->getReplyLength(), 300u);
    EXPECT_EQ(replyWords(*rig.device), payload);
    EXPECT_EQ(rig.device->getReplyStatus(), zantovirtual::status::Reply);
    EXPECT_TRUE(rig.device->isOk());
}

struct ReplyFormCase
{
    const char* name;
    bool shortForm;
    std::vector<Fault> faults;
    std::size_t deliveredBytes;
    std::uint32_t replyLength;
};

class ReplyForms : public testing::TestWithParam<ReplyFormCase>
{
};

// The payload is {0x1111, 0x2222}; each case lets a different form of it reach the host.
TEST_P(ReplyForms, PayloadStaysWithinTheDeliveredBytes)
{
    const ReplyFormCase& c = GetParam();
    Scenario scenario = probeAnswering({0x1111, 0x2222});
    scenario.shortFormReplies = c.shortForm;
    scenario.faults = c.faults;
    Rig rig(scenario);

    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    const std::vector<Transfer> transfers = rig.tap->takeTransfers();
    ASSERT_EQ(transfers.back().kind, Transfer::In);
    EXPECT_EQ(transfers.back().bytes.size(), c.deliveredBytes);

    ASSERT_EQ(rig.device->getReplyLength(), c.replyLength);
    if (c.replyLength != 0)
    {
        const std::vector<std::uint16_t> expected = {0x1111, 0x2222};
        EXPECT_EQ(replyWords(*rig.device), expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, ReplyForms,
    testing::Values(
        ReplyFormCase{"LongForm", false, {}, 14, 2},
        ReplyFormCase{"ShortFormOf12Bytes", true, {}, 12, 2},
        ReplyFormCase{"NoMarker", false, {{FaultKind::Garbage, 1, 0x0F00, 20}}, 20, 0},
        ReplyFormCase{"LongMarkerIn8Bytes", false, {{FaultKind::Truncate, 1, 0x0F00, 8}}, 8, 0},
        ReplyFormCase{"LongMarkerIn9Bytes", false, {{FaultKind::Truncate, 1, 0x0F00, 9}}, 9, 0},
        ReplyFormCase{
            "LongFormWithoutPayload", false, {{FaultKind::PayloadWords, 1, 0x0F00, 0}}, 10, 0}),
    [](const testing::TestParamInfo<ReplyFormCase>& info) { return std::string(info.param.name); });

// A long-form header announcing two payload words, of which only the marker and status arrive:
// whatever an earlier, longer reply left in the buffer must not pass for this reply's payload.
TEST(RpcExchange, ShortLongFormReplyShowsNothingOfTheLastReply)
{
    Scenario scenario = probeAnswering(countingWords(4));
    scenario.faults = {{FaultKind::Truncate, 2, 0x0F00, 9}};
    Rig rig(scenario);
    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    ASSERT_EQ(rig.device->getReplyLength(), 4u);

    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(rig.device->getReplyLength(), 0u);
}

// A reply too short to hold a status word leaves the request's block count in its place.
TEST(RpcExchange, StatusOfAReplyBelow8BytesIsTheRequestBlockCount)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.faults = {{FaultKind::Truncate, 1, 0x1003, 6}};
    Rig rig(scenario);
    const std::uint8_t data[96] = {};
    ASSERT_TRUE(rig.device->exchange(0x1003, nullptr, 0, data, 32, 3));
    EXPECT_EQ(rig.device->getReplyStatus(), 3u);
    EXPECT_EQ(rig.device->getReplyLength(), 0u);
}

TEST(RpcExchange, ReplyShorterThanAnnouncedFailsTheExchangeOnly)
{
    Scenario scenario = probeAnswering(countingWords(300));
    scenario.faults = {{FaultKind::Truncate, 1, 0x0F00, 520}};
    Rig rig(scenario);

    EXPECT_FALSE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(rig.device->getReplyLength(), 0u);
    EXPECT_TRUE(rig.device->isOk());

    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_EQ(replyWords(*rig.device), countingWords(300));
}

TEST(RpcExchange, FailedSecondReadFailsTheExchangeAndTheDevice)
{
    Rig rig(probeAnswering(countingWords(300)));
    rig.tap->abortAfterInTransfer(1);

    EXPECT_FALSE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_FALSE(rig.device->isOk());
    EXPECT_EQ(rig.device->getReplyLength(), 0u);

    const std::vector<Transfer> transfers = rig.tap->takeTransfers();
    ASSERT_EQ(transfers.size(), 4u);
    EXPECT_TRUE(transfers[2].ok);
    EXPECT_EQ(transfers[3].kind, Transfer::In);
    EXPECT_FALSE(transfers[3].ok);
}

TEST(RpcExchange, AfterAFailedWriteEveryExchangeFailsWithoutTransfers)
{
    Scenario scenario = probeAnswering({0x1111});
    scenario.faults = {{FaultKind::FailTransfer, 2, 0, 0}, {FaultKind::Status, 1, 0x0F00, 9}};
    Rig rig(scenario);
    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    ASSERT_EQ(rig.device->getReplyStatus(), 9u);

    const std::uint8_t data[64] = {};
    EXPECT_FALSE(rig.device->exchange(0x1003, nullptr, 0, data, 32, 2));
    EXPECT_FALSE(rig.device->isOk());
    EXPECT_EQ(rig.device->getReplyLength(), 0u);
    EXPECT_EQ(rig.device->getReplyStatus(), 9u);
    // Nothing after the failed request write was attempted.
    const std::vector<Transfer> failing = rig.tap->takeTransfers();
    ASSERT_FALSE(failing.empty());
    EXPECT_FALSE(failing.back().ok);
    EXPECT_EQ(failing.back().kind, Transfer::Out);
    EXPECT_EQ(failing.back().bytes.size(), 16u);

    EXPECT_FALSE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_TRUE(rig.tap->takeTransfers().empty());
    EXPECT_EQ(rig.device->getReplyStatus(), 9u);
}

class DisconnectAt : public testing::TestWithParam<std::uint32_t>
{
};

TEST_P(DisconnectAt, RequestsFromTheKthOnFail)
{
    const std::uint32_t k = GetParam();
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.faults = {{FaultKind::Disconnect, k, 0, 0}};
    Rig rig(scenario);

    const std::uint8_t address[4] = {0, 0, 0x40, 0};
    for (std::uint32_t request = 1; request <= 5; ++request)
    {
        const bool ok = request % 2 ? rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0)
                                    : rig.device->exchange(0x1001, address, 4, nullptr, 0, 0);
        EXPECT_EQ(ok, request < k) << "request " << request;
    }
    EXPECT_FALSE(rig.device->isOk());
    EXPECT_TRUE(rig.tap->sound().disconnected());
    std::uint32_t answered = 0;
    for (const auto& logged : rig.tap->sound().requestLog())
        answered += logged.answered ? 1 : 0;
    EXPECT_EQ(answered, k - 1);
}

INSTANTIATE_TEST_SUITE_P(Rpc, DisconnectAt, testing::Values(1u, 2u, 3u, 5u));

TEST(RpcExchange, StalledDeviceIsAbortedFromAnotherThread)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.faults = {{FaultKind::Stall, 1, 0x0F00, 0}};
    Rig rig(scenario);
    ZantoRpcVirtual::UsbDevice_Virtual* device = rig.device.get();

    std::future<bool> result =
        std::async(std::launch::async,
                   [device] { return device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0); });
    ASSERT_EQ(result.wait_for(std::chrono::milliseconds(200)), std::future_status::timeout);

    const auto abortedAt = std::chrono::steady_clock::now();
    device->abortTransfers();
    ASSERT_EQ(result.wait_for(std::chrono::seconds(1)), std::future_status::ready);
    EXPECT_LT(std::chrono::steady_clock::now() - abortedAt, std::chrono::seconds(1));
    EXPECT_FALSE(result.get());
    EXPECT_FALSE(device->isOk());
    EXPECT_FALSE(device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
}

TEST(RpcExchange, AbortWithNothingPendingFailsTheDeviceAtOnce)
{
    Rig rig(zantovirtual::defaultScenario());
    ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    rig.tap->takeTransfers();

    rig.device->abortTransfers();
    EXPECT_FALSE(rig.device->isOk());
    EXPECT_FALSE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0));
    EXPECT_TRUE(rig.tap->takeTransfers().empty());
}

TEST(RpcExchange, ReplyBufferGrowsByDoublingAndNeverShrinks)
{
    // Reply sizes in bytes: 12, 610, 1100, 110, 2058.
    Scenario scenario = probeAnswering({0x0001});
    scenario.faults = {{FaultKind::PayloadWords, 2, 0x0F00, 300},
                       {FaultKind::PayloadWords, 3, 0x0F00, 545},
                       {FaultKind::PayloadWords, 4, 0x0F00, 50},
                       {FaultKind::PayloadWords, 5, 0x0F00, 1024}};
    Rig rig(scenario);
    const std::uint32_t lengths[] = {1, 300, 545, 50, 1024};
    const std::uint32_t capacities[] = {512, 1024, 2048, 2048, 4096};
    for (std::size_t i = 0; i < 5; ++i)
    {
        ASSERT_TRUE(rig.device->exchange(0x0F00, nullptr, 0, nullptr, 0, 0)) << i;
        EXPECT_EQ(rig.device->getReplyLength(), lengths[i]) << i;
        EXPECT_EQ(rig.device->getReplyCapacity(), capacities[i]) << i;
    }
}

} // namespace
