// The programmer and its ranges against the virtual device: the description forms that open,
// and every request's parameters and reply rules as the device logged them.

#include "RpcTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace rpctest;
using zantovirtual::Fault;
using zantovirtual::FaultKind;
using zantovirtual::PollStep;
using zantovirtual::Scenario;

namespace
{

using Programmer = Held<ZantoRpc::ZantoProgrammer>;

Programmer open(Rig& rig)
{
    return Programmer(rig.root->openProgrammer(rig.device.get()));
}

ZantoRpc::PollState startState()
{
    ZantoRpc::PollState state{};
    state.progress = 0xFFFF;
    state.waitMs = 50;
    return state;
}

zantovirtual::LoggedRequest lastRequest(Rig& rig)
{
    const auto log = rig.tap->sound().requestLog();
    EXPECT_FALSE(log.empty());
    return log.empty() ? zantovirtual::LoggedRequest{} : log.back();
}

struct OpenCase
{
    const char* name;
    std::uint16_t format;
    std::size_t rangeCount;
    std::vector<Fault> faults;
    bool opens;
};

class OpenProgrammer : public testing::TestWithParam<OpenCase>
{
};

TEST_P(OpenProgrammer, OpensOnlyOnAnExactDescription)
{
    const OpenCase& c = GetParam();
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.tableFormat = c.format;
    scenario.blockWords = 128;
    scenario.ranges.resize(c.rangeCount, {0x0001, 0x0002, 7, "R"});
    scenario.faults = c.faults;
    Rig rig(scenario);

    Programmer programmer = open(rig);
    ASSERT_EQ(programmer != nullptr, c.opens);

    const auto log = rig.tap->sound().requestLog();
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[0].command, 0x0F01);
    EXPECT_TRUE(log[0].params.empty());
    EXPECT_EQ(log[1].command, 0x1000);
    EXPECT_EQ(log[1].params, std::vector<std::uint16_t>{1});
    if (!programmer)
        return;
    EXPECT_EQ(programmer->getReferenceCount(), 1);
    EXPECT_EQ(programmer->getBlockWords(), 128u);
    EXPECT_EQ(programmer->getNumRanges(), c.rangeCount);
}

// Description lengths in words: 4 + 12 N in format 1, 4 + 8 N in format 0.
INSTANTIATE_TEST_SUITE_P(
    Rpc, OpenProgrammer,
    testing::Values(
        OpenCase{"Format1TwoRanges", 1, 2, {}, true}, OpenCase{"Format0TwoRanges", 0, 2, {}, true},
        OpenCase{"NoRanges", 1, 0, {}, true},
        OpenCase{"DescriptionLongerThanOneRead", 1, 24, {}, true},
        OpenCase{"Format1OneWordShort", 1, 2, {{FaultKind::PayloadWords, 1, 0x1000, 27}}, false},
        OpenCase{"Format1OneWordLong", 1, 2, {{FaultKind::PayloadWords, 1, 0x1000, 29}}, false},
        OpenCase{
            "Format1WithFormat0Length", 1, 2, {{FaultKind::PayloadWords, 1, 0x1000, 20}}, false},
        OpenCase{
            "Format0WithFormat1Length", 0, 2, {{FaultKind::PayloadWords, 1, 0x1000, 28}}, false},
        OpenCase{"Format2", 2, 2, {}, false},
        OpenCase{"NoPayload", 1, 2, {{FaultKind::PayloadWords, 1, 0x1000, 0}}, false},
        OpenCase{"HeaderCutShort", 1, 0, {{FaultKind::PayloadWords, 1, 0x1000, 3}}, false},
        OpenCase{"ErrorStatusIsNotLookedAt", 1, 2, {{FaultKind::Status, 1, 0x1000, 6}}, true},
        OpenCase{"ProbeRefusedStillOpens", 1, 2, {{FaultKind::Status, 1, 0x0F01, 6}}, true},
        OpenCase{"NoReplyMarker", 1, 2, {{FaultKind::Garbage, 1, 0x1000, 64}}, false}),
    [](const testing::TestParamInfo<OpenCase>& info) { return std::string(info.param.name); });

TEST(RpcProgrammer, FailedProbeLeavesNoProgrammer)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.faults = {{FaultKind::FailTransfer, 1, 0x0F01, 0}};
    Rig rig(scenario);
    EXPECT_EQ(open(rig), nullptr);
    EXPECT_FALSE(rig.device->isOk());
}

struct RangeExpectation
{
    std::uint32_t start;
    std::uint32_t end;
    std::uint32_t targetId;
    std::string name; // the whole 16-byte field
};

std::string field(const char* text)
{
    std::string name(text);
    name.resize(16, '\0');
    return name;
}

class Ranges : public testing::TestWithParam<std::uint16_t>
{
};

TEST_P(Ranges, BuiltFromTheTableRecords)
{
    const std::uint16_t format = GetParam();
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.tableFormat = format;
    scenario.ranges = {{0x0000, 0x0010, 1, "Firmware"},
                       {0x0040, 0x0100, 16, "TwelveChars!"},
                       {0x0100, 0xFFFF, 0x1234, std::string("AB\0CD", 5)}};
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ASSERT_EQ(programmer->getNumRanges(), 3u);

    const bool targets = format == 1;
    const RangeExpectation expected[] = {
        {0x00000000, 0x00100000, targets ? 1u : 0u, field("Firmware")},
        {0x00400000, 0x01000000, targets ? 16u : 0u, field("TwelveChars!")},
        {0x01000000, 0xFFFF0000, targets ? 0x1234u : 0u, field("AB")}};
    for (std::uint32_t i = 0; i < 3; ++i)
    {
        const ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(i);
        EXPECT_EQ(range->start, expected[i].start) << i;
        EXPECT_EQ(range->end, expected[i].end) << i;
        EXPECT_EQ(range->targetId, expected[i].targetId) << i;
        EXPECT_EQ(std::string(range->name, 16), expected[i].name) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Rpc, Ranges, testing::Values(0, 1));

TEST(RpcProgrammer, WriteRequestsCarryTheirParameters)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.blockWords = 8;
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(1);
    EXPECT_EQ(range->getBlockWords(), 8u);

    ASSERT_TRUE(range->beginWrite(0x00401234));
    EXPECT_EQ(lastRequest(rig).command, 0x1001);
    EXPECT_EQ(lastRequest(rig).params, (std::vector<std::uint16_t>{0x1234, 0x0040}));

    std::uint8_t data[48];
    for (std::size_t i = 0; i < sizeof data; ++i)
        data[i] = static_cast<std::uint8_t>(i);
    const std::size_t logged = rig.tap->sound().requestLog().size();
    EXPECT_FALSE(range->writeBlocks(data, 9, 2));
    EXPECT_EQ(rig.tap->sound().requestLog().size(), logged);

    rig.tap->takeTransfers();
    ASSERT_TRUE(range->writeBlocks(data, 8, 3));
    const zantovirtual::LoggedRequest write = lastRequest(rig);
    EXPECT_EQ(write.command, 0x1003);
    EXPECT_TRUE(write.params.empty());
    EXPECT_EQ(write.blockSize, 16);
    EXPECT_EQ(write.blockCount, 3);
    EXPECT_EQ(write.blocksReceived, 3u);
    EXPECT_EQ(write.replyStatus, zantovirtual::status::Done);
    std::vector<std::uint8_t> sent;
    for (const Transfer& t : rig.tap->takeTransfers())
        if (t.kind == Transfer::Out && t.asked == 16 && t.bytes[0] != 'B')
            sent.insert(sent.end(), t.bytes.begin(), t.bytes.end());
    EXPECT_EQ(sent, std::vector<std::uint8_t>(data, data + 48));

    ASSERT_TRUE(range->endWrite());
    EXPECT_EQ(lastRequest(rig).command, 0x1002);
    EXPECT_TRUE(lastRequest(rig).params.empty());
    EXPECT_EQ(rig.tap->sound().readFlash(1, 0x1234, 24),
              std::vector<std::uint8_t>(data, data + 48));

    ASSERT_TRUE(range->beginVerify());
    EXPECT_EQ(lastRequest(rig).command, 0x1004);
    ASSERT_TRUE(programmer->beginVerify());
    EXPECT_EQ(lastRequest(rig).command, 0x1004);
    EXPECT_TRUE(lastRequest(rig).params.empty());
}

// A device error status is no failure of these requests.
TEST(RpcProgrammer, WriteRequestsFailOnlyOnTransfer)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.faults = {{FaultKind::FailTransfer, 1, 0x1002, 0}};
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(0);

    EXPECT_TRUE(range->beginWrite(0x7FFF0000));
    EXPECT_EQ(lastRequest(rig).replyStatus, zantovirtual::status::OutOfRange);
    EXPECT_FALSE(range->endWrite());
    EXPECT_FALSE(range->beginVerify());
    EXPECT_FALSE(programmer->beginVerify());
}

TEST(RpcPoll, CompleteCopiesProgressAndWait)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.completeSteps = {{40, 25, 0, ""}, {0xFFFF, 5, 0, ""}};
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(0);

    ZantoRpc::PollState state = startState();
    ASSERT_TRUE(range->pollComplete(&state));
    EXPECT_EQ(lastRequest(rig).command, 0x1005);
    EXPECT_EQ(lastRequest(rig).params, (std::vector<std::uint16_t>{0xFFFF, 50}));
    EXPECT_EQ(state.progress, 40);
    EXPECT_EQ(state.waitMs, 25);

    ASSERT_TRUE(range->pollComplete(&state));
    EXPECT_EQ(lastRequest(rig).params, (std::vector<std::uint16_t>{40, 25}));
    EXPECT_EQ(state.progress, 0xFFFF);
    EXPECT_EQ(state.waitMs, 5);
}

// pollVerify: the device hands `value` over high word first and gets it back the same way.
TEST(RpcPoll, VerifyCarriesValueHighWordFirst)
{
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.verifySteps = {{10, 20, 0x00AB00CD, ""}, {0xFFFF, 0, 0, ""}};
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(0);

    ZantoRpc::PollState state = startState();
    state.value = 0x12345678;
    rig.tap->takeTransfers();
    ASSERT_TRUE(range->pollVerify(&state));
    EXPECT_EQ(lastRequest(rig).command, 0x1006);
    EXPECT_EQ(lastRequest(rig).params, (std::vector<std::uint16_t>{0xFFFF, 50, 0x1234, 0x5678}));
    const std::vector<Transfer> reply = rig.tap->takeTransfers();
    ASSERT_EQ(reply.back().bytes.size(), 18u);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.back().bytes.begin() + 14, reply.back().bytes.end()),
              le16({0x00AB, 0x00CD}));
    EXPECT_EQ(state.progress, 10);
    EXPECT_EQ(state.waitMs, 20);
    EXPECT_EQ(state.value, 0x00AB00CDu);

    ASSERT_TRUE(range->pollVerify(&state));
    EXPECT_EQ(lastRequest(rig).params, (std::vector<std::uint16_t>{10, 20, 0x00AB, 0x00CD}));
}

// pollOperation: the device hands `value` over low word first and gets it back high word first.
TEST(RpcPoll, OperationCarriesTheWholeRecord)
{
    Scenario scenario = zantovirtual::defaultScenario();
    const std::string full(64, 'M');
    scenario.operationSteps[3] = {{60, 15, 0x00AB00CD, "Erasing"}, {0xFFFF, 0, 7, full}};
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);

    ZantoRpc::PollState state = startState();
    state.value = 0x00400000;
    std::memcpy(state.message, "host", 4);
    rig.tap->takeTransfers();
    ASSERT_TRUE(programmer->pollOperation(3, &state));

    const zantovirtual::LoggedRequest request = lastRequest(rig);
    EXPECT_EQ(request.command, 0x1007);
    ASSERT_EQ(request.params.size(), 37u);
    EXPECT_EQ(std::vector<std::uint16_t>(request.params.begin(), request.params.begin() + 6),
              (std::vector<std::uint16_t>{3, 0xFFFF, 50, 0x0040, 0x0000, 'h' | ('o' << 8)}));
    EXPECT_EQ(request.params[6], 's' | ('t' << 8));
    for (std::size_t i = 7; i < 37; ++i)
        EXPECT_EQ(request.params[i], 0) << i;

    const std::vector<Transfer> reply = rig.tap->takeTransfers();
    ASSERT_EQ(reply.back().bytes.size(), 82u);
    EXPECT_EQ(
        std::vector<std::uint8_t>(reply.back().bytes.begin() + 14, reply.back().bytes.begin() + 18),
        le16({0x00CD, 0x00AB}));
    EXPECT_EQ(state.progress, 60);
    EXPECT_EQ(state.waitMs, 15);
    EXPECT_EQ(state.value, 0x00AB00CDu);
    EXPECT_EQ(std::string(state.message, 64), field("Erasing") + std::string(48, '\0'));

    ASSERT_TRUE(programmer->pollOperation(3, &state));
    const std::vector<std::uint16_t> next = lastRequest(rig).params;
    ASSERT_EQ(next.size(), 37u);
    EXPECT_EQ(std::vector<std::uint16_t>(next.begin(), next.begin() + 5),
              (std::vector<std::uint16_t>{3, 60, 15, 0x00AB, 0x00CD}));
    EXPECT_EQ(state.progress, 0xFFFF);
    EXPECT_EQ(state.value, 7u);
    EXPECT_EQ(std::string(state.message, 64), full);
}

enum class Poll
{
    Complete,
    Verify,
    Operation
};

struct PollRuleCase
{
    const char* name;
    Poll poll;
    std::vector<Fault> faults;
    bool result;
};

class PollRules : public testing::TestWithParam<PollRuleCase>
{
};

// Every case but a transfer of status 1 with the right length leaves the state untouched.
TEST_P(PollRules, StateChangesOnlyOnAFullReport)
{
    const PollRuleCase& c = GetParam();
    Scenario scenario = zantovirtual::defaultScenario();
    scenario.completeSteps = {{1, 2, 3, "x"}};
    scenario.verifySteps = {{1, 2, 3, "x"}};
    scenario.operationSteps[1] = {{1, 2, 3, "x"}};
    scenario.faults = c.faults;
    Rig rig(scenario);
    Programmer programmer = open(rig);
    ASSERT_NE(programmer, nullptr);
    ZantoRpc::ZantoProgrammer::RangeInfo* range = programmer->getRange(0);

    ZantoRpc::PollState state = startState();
    state.value = 0x00010002;
    std::memcpy(state.message, "keep", 5);
    const ZantoRpc::PollState before = state;
    bool result = false;
    switch (c.poll)
    {
    case Poll::Complete:
        result = range->pollComplete(&state);
        break;
    case Poll::Verify:
        result = range->pollVerify(&state);
        break;
    case Poll::Operation:
        result = programmer->pollOperation(1, &state);
        break;
    }
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Rpc, PollRules,
    testing::Values(
        PollRuleCase{"CompleteStatus0", Poll::Complete, {{FaultKind::Status, 1, 0x1005, 0}}, true},
        PollRuleCase{"CompleteStatus2", Poll::Complete, {{FaultKind::Status, 1, 0x1005, 2}}, false},
        PollRuleCase{
            "CompleteThreeWords", Poll::Complete, {{FaultKind::PayloadWords, 1, 0x1005, 3}}, false},
        PollRuleCase{
            "CompleteNoMarker", Poll::Complete, {{FaultKind::Garbage, 1, 0x1005, 24}}, false},
        PollRuleCase{"CompleteTransferFails",
                     Poll::Complete,
                     {{FaultKind::FailTransfer, 1, 0x1005, 0}},
                     false},
        PollRuleCase{"VerifyStatus0", Poll::Verify, {{FaultKind::Status, 1, 0x1006, 0}}, true},
        PollRuleCase{"VerifyStatus7", Poll::Verify, {{FaultKind::Status, 1, 0x1006, 7}}, false},
        PollRuleCase{
            "VerifyTwoWords", Poll::Verify, {{FaultKind::PayloadWords, 1, 0x1006, 2}}, false},
        PollRuleCase{
            "OperationStatus0", Poll::Operation, {{FaultKind::Status, 1, 0x1007, 0}}, true},
        PollRuleCase{
            "OperationStatus3", Poll::Operation, {{FaultKind::Status, 1, 0x1007, 3}}, false},
        PollRuleCase{
            "Operation37Words", Poll::Operation, {{FaultKind::PayloadWords, 1, 0x1007, 37}}, false},
        // Too short to hold a status: the request's block count (0) stands in its place.
        PollRuleCase{
            "OperationCutTo6Bytes", Poll::Operation, {{FaultKind::Truncate, 1, 0x1007, 6}}, true}),
    [](const testing::TestParamInfo<PollRuleCase>& info) { return std::string(info.param.name); });

} // namespace
