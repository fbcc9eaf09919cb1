#include "rpc/virtual/Scenario.h"

#include "rpc/virtual/VirtualDevice.h"

#include <functional>
#include <utility>

namespace zantovirtual
{

namespace
{

std::vector<PollStep> progressRun(std::uint16_t waitMs, std::uint32_t value, std::string message)
{
    return {{0, waitMs, value, message},
            {50, waitMs, value, message},
            {100, waitMs, value, message},
            {0xFFFF, waitMs, value, std::move(message)}};
}

Scenario withFault(std::string name, Fault fault)
{
    Scenario scenario = defaultScenario();
    scenario.name = std::move(name);
    scenario.faults.push_back(fault);
    return scenario;
}

struct BuiltIn
{
    const char* name;
    std::function<Scenario()> make;
};

const std::vector<BuiltIn>& builtIns()
{
    static const std::vector<BuiltIn> table = {
        {"default", [] { return defaultScenario(); }},
        {"two-ranges-format0",
         []
         {
             Scenario scenario = defaultScenario();
             scenario.name = "two-ranges-format0";
             scenario.tableFormat = 0;
             return scenario;
         }},
        {"no-strings",
         []
         {
             Scenario scenario = defaultScenario();
             scenario.name = "no-strings";
             scenario.manufacturer.clear();
             scenario.product.clear();
             scenario.serialNumber.clear();
             return scenario;
         }},
        {"short-form",
         []
         {
             Scenario scenario = defaultScenario();
             scenario.name = "short-form";
             scenario.shortFormReplies = true;
             return scenario;
         }},
        {"long-reply",
         []
         {
             // 24 format-1 records make a description of 584 bytes, more than one IN transfer.
             Scenario scenario = defaultScenario();
             scenario.name = "long-reply";
             scenario.ranges.clear();
             for (std::uint16_t i = 0; i < 24; ++i)
             {
                 scenario.ranges.push_back(
                     {static_cast<std::uint16_t>(i * 4), static_cast<std::uint16_t>(i * 4 + 4),
                      static_cast<std::uint16_t>(16 + i), "Bank " + std::to_string(i + 1)});
             }
             return scenario;
         }},
        {"stall",
         [] {
             return withFault("stall", {FaultKind::Stall, 1, cmd::WriteBlocks, 0});
         }},
        {"disconnect-at-5",
         [] {
             return withFault("disconnect-at-5", {FaultKind::Disconnect, 5, 0, 0});
         }},
        {"fail-write",
         [] {
             return withFault("fail-write", {FaultKind::FailTransfer, 1, cmd::WriteBlocks, 0});
         }},
        {"garbage-reply",
         [] {
             return withFault("garbage-reply", {FaultKind::Garbage, 1, cmd::PollComplete, 24});
         }},
        {"truncated-reply",
         [] {
             return withFault("truncated-reply", {FaultKind::Truncate, 1, cmd::PollOperation, 6});
         }},
        {"error-status",
         [] {
             return withFault("error-status", {FaultKind::Status, 1, cmd::PollVerify, 7});
         }},
        {"wrong-length",
         [] {
             return withFault("wrong-length", {FaultKind::PayloadWords, 1, cmd::PollComplete, 3});
         }},
    };
    return table;
}

} // namespace

Scenario defaultScenario()
{
    Scenario scenario;
    scenario.name = "default";
    scenario.manufacturer = u"Zanto Audio";
    scenario.product = u"ZANTO Sound Module";
    scenario.serialNumber = u"ZS0000001";
    scenario.probeReply = {0x0001, 0x0002};
    scenario.programmerProbeReply = {0x0001};
    scenario.blockWords = 256;
    scenario.tableFormat = 1;
    scenario.ranges = {{0x0000, 0x0010, 1, "Firmware"}, {0x0040, 0x0100, 16, "Sound Bank"}};
    scenario.completeSteps = progressRun(10, 0, "");
    scenario.verifySteps = progressRun(10, 0x00010002, "");
    for (std::uint16_t mode = 1; mode <= 7; ++mode)
    {
        scenario.operationSteps[mode] = {{0xFFFF, 10, 0, "Ready"}};
    }
    scenario.operationSteps[2] = progressRun(10, 0, "Preparing");
    scenario.operationSteps[6] = {{0xFFFF, 10, 1, "Restart possible"}};
    return scenario;
}

std::optional<Scenario> builtInScenario(std::string_view name)
{
    for (const BuiltIn& entry : builtIns())
    {
        if (name == entry.name)
        {
            return entry.make();
        }
    }
    return std::nullopt;
}

std::vector<std::string> builtInScenarioNames()
{
    std::vector<std::string> names;
    for (const BuiltIn& entry : builtIns())
    {
        names.emplace_back(entry.name);
    }
    return names;
}

} // namespace zantovirtual
