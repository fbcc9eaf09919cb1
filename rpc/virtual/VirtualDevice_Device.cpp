#include "rpc/virtual/VirtualDevice.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <utility>

namespace zantovirtual
{

namespace
{

constexpr std::size_t NameBytes = 12;
constexpr std::size_t MessageBytes = 64;
constexpr std::size_t MaxStringChars = 126; // a descriptor's length byte caps it at 254 + 2
constexpr std::uint32_t PageWords = 65536;

std::uint16_t readWord(const std::uint8_t* bytes)
{
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

void appendWord(std::vector<std::uint8_t>& out, std::uint16_t word)
{
    out.push_back(static_cast<std::uint8_t>(word & 0xFF));
    out.push_back(static_cast<std::uint8_t>(word >> 8));
}

void appendName(std::vector<std::uint8_t>& out, const std::string& name)
{
    for (std::size_t i = 0; i < NameBytes; ++i)
    {
        out.push_back(i < name.size() ? static_cast<std::uint8_t>(name[i]) : 0);
    }
}

// The message travels as 32 little-endian words of its bytes.
void appendMessageWords(std::vector<std::uint16_t>& out, const std::string& message)
{
    for (std::size_t i = 0; i < MessageBytes; i += 2)
    {
        const std::uint8_t low = i < message.size() ? static_cast<std::uint8_t>(message[i]) : 0;
        const std::uint8_t high =
            i + 1 < message.size() ? static_cast<std::uint8_t>(message[i + 1]) : 0;
        out.push_back(static_cast<std::uint16_t>(low | (high << 8)));
    }
}

bool isDeviceError(std::uint16_t replyStatus)
{
    return replyStatus != status::Done && replyStatus != status::Reply;
}

struct Reply
{
    std::uint16_t status = status::Done;
    std::vector<std::uint16_t> payload;
};

struct FlashPage
{
    std::vector<std::uint8_t> bytes = std::vector<std::uint8_t>(PageWords * 2, 0xFF);
    std::vector<bool> written = std::vector<bool>(PageWords, false);
};

// Sparse, so that a range of many megabytes costs only the pages a test writes.
struct RangeFlash
{
    std::map<std::uint32_t, FlashPage> pages;
    std::uint64_t writtenWords = 0;

    void write(std::uint32_t wordOffset, std::uint8_t low, std::uint8_t high)
    {
        FlashPage& page = pages[wordOffset / PageWords];
        const std::uint32_t inPage = wordOffset % PageWords;
        page.bytes[2 * inPage] = low;
        page.bytes[2 * inPage + 1] = high;
        if (!page.written[inPage])
        {
            page.written[inPage] = true;
            ++writtenWords;
        }
    }

    void read(std::uint32_t wordOffset, std::vector<std::uint8_t>& out) const
    {
        const auto found = pages.find(wordOffset / PageWords);
        if (found == pages.end())
        {
            out.push_back(0xFF);
            out.push_back(0xFF);
            return;
        }
        const std::uint32_t inPage = wordOffset % PageWords;
        out.push_back(found->second.bytes[2 * inPage]);
        out.push_back(found->second.bytes[2 * inPage + 1]);
    }
};

std::uint64_t rangeStart(const RangeLayout& range)
{
    return std::uint64_t{range.startUnits} * WordsPerUnit;
}

std::uint64_t rangeWords(const RangeLayout& range)
{
    return range.endUnits > range.startUnits
               ? std::uint64_t{static_cast<std::uint16_t>(range.endUnits - range.startUnits)} *
                     WordsPerUnit
               : 0;
}

std::vector<std::uint8_t> stringToDescriptor(const std::u16string& text)
{
    const std::size_t chars = std::min(text.size(), MaxStringChars);
    std::vector<std::uint8_t> out;
    out.push_back(static_cast<std::uint8_t>(2 + 2 * chars));
    out.push_back(3);
    for (std::size_t i = 0; i < chars; ++i)
    {
        appendWord(out, static_cast<std::uint16_t>(text[i]));
    }
    return out;
}

} // namespace

struct VirtualSoundDevice::State
{
    explicit State(Scenario s) : scenario(std::move(s)), flash(scenario.ranges.size()) {}

    const Scenario scenario;

    mutable std::mutex mutex;
    std::condition_variable replyReady;

    // Each reply is one message; an IN transfer shorter than the message leaves the rest.
    std::deque<std::vector<std::uint8_t>> pendingIn;
    std::size_t frontOffset = 0;

    bool aborted = false;
    bool isDisconnected = false;
    bool isStalled = false;

    std::vector<RangeFlash> flash;
    std::vector<LoggedRequest> log;
    std::uint32_t deviceErrors = 0;
    std::uint32_t malformedFrames = 0;
    std::map<std::uint16_t, std::uint32_t> perCommandCount;

    // The request whose data blocks are still arriving.
    bool inDataPhase = false;
    std::uint16_t blocksRemaining = 0;
    std::uint16_t dataStatus = status::Done;
    std::vector<Fault> replyFaults;

    bool writing = false;
    std::size_t writeRange = 0;
    std::uint64_t writeAddress = 0;

    std::size_t completeIndex = 0;
    std::size_t verifyIndex = 0;
    std::size_t operationIndex = 0;
    bool haveMode = false;
    std::uint16_t lastMode = 0;

    bool receive(const std::uint8_t* data, std::size_t length);
    void receiveBlock(const std::uint8_t* data, std::size_t length);
    void writeBlock(const std::uint8_t* data, std::size_t length);
    Reply dispatch(std::uint16_t command, const std::vector<std::uint16_t>& params);
    Reply describe() const;
    Reply beginWrite(const std::vector<std::uint16_t>& params);
    void finish(std::uint16_t command, std::uint32_t sequence, Reply reply);
    void queue(std::vector<std::uint8_t> bytes);
    std::vector<std::uint8_t> encode(std::uint16_t command, std::uint32_t sequence,
                                     const Reply& reply) const;
    void rejectFrame();
};

namespace
{

const PollStep* nextStep(const std::vector<PollStep>& steps, std::size_t& index)
{
    if (steps.empty())
    {
        return nullptr;
    }
    const PollStep* step = &steps[index % steps.size()];
    index = (index + 1) % steps.size();
    return step;
}

} // namespace

std::vector<std::uint8_t> VirtualSoundDevice::State::encode(std::uint16_t command,
                                                            std::uint32_t sequence,
                                                            const Reply& reply) const
{
    std::vector<std::uint8_t> out;
    appendWord(out, command);
    appendWord(out, scenario.shortFormReplies ? ShortReplyMarker : LongReplyMarker);
    appendWord(out, static_cast<std::uint16_t>(sequence));
    appendWord(out, reply.status);
    if (!scenario.shortFormReplies)
    {
        appendWord(out, static_cast<std::uint16_t>(reply.payload.size()));
    }
    for (std::uint16_t word : reply.payload)
    {
        appendWord(out, word);
    }
    return out;
}

void VirtualSoundDevice::State::queue(std::vector<std::uint8_t> bytes)
{
    if (isStalled)
    {
        return;
    }
    pendingIn.push_back(std::move(bytes));
    replyReady.notify_all();
}

void VirtualSoundDevice::State::rejectFrame()
{
    ++malformedFrames;
    ++deviceErrors;
    Reply reply;
    reply.status = status::BadFrame;
    queue(encode(0, 0, reply));
}

void VirtualSoundDevice::State::finish(std::uint16_t command, std::uint32_t sequence, Reply reply)
{
    LoggedRequest& entry = log.back();
    entry.answered = true;
    entry.replyStatus = reply.status;
    if (isDeviceError(reply.status))
    {
        ++deviceErrors;
    }

    for (const Fault& fault : replyFaults)
    {
        if (fault.kind == FaultKind::PayloadWords)
        {
            reply.payload.resize(fault.amount & 0xFFFF, 0);
        }
    }
    std::vector<std::uint8_t> bytes = encode(command, sequence, reply);
    for (const Fault& fault : replyFaults)
    {
        switch (fault.kind)
        {
        case FaultKind::Status:
            if (bytes.size() < 8)
            {
                break;
            }
            bytes[6] = static_cast<std::uint8_t>(fault.amount & 0xFF);
            bytes[7] = static_cast<std::uint8_t>((fault.amount >> 8) & 0xFF);
            break;
        case FaultKind::Truncate:
            bytes.resize(std::min<std::size_t>(bytes.size(), fault.amount));
            break;
        case FaultKind::Garbage:
            bytes.assign(fault.amount, 0);
            for (std::size_t i = 0; i < bytes.size(); ++i)
            {
                bytes[i] = static_cast<std::uint8_t>(0xA5 + 37 * i);
            }
            break;
        default:
            break;
        }
    }
    replyFaults.clear();
    queue(std::move(bytes));
}

bool VirtualSoundDevice::State::receive(const std::uint8_t* data, std::size_t length)
{
    if (data == nullptr)
    {
        length = 0;
    }
    if (inDataPhase)
    {
        receiveBlock(data, length);
        return true;
    }

    if (length < RequestHeaderBytes)
    {
        rejectFrame();
        return true;
    }
    const std::uint32_t magic = static_cast<std::uint32_t>(readWord(data)) |
                                (static_cast<std::uint32_t>(readWord(data + 2)) << 16);
    const std::uint16_t blockSize = readWord(data + 4);
    const std::uint16_t blockCount = readWord(data + 6);
    const std::uint16_t command = readWord(data + 8);
    const std::uint16_t paramWords = readWord(data + 10);
    if (magic != RequestMagic || paramWords > MaxParameterWords ||
        length != RequestHeaderBytes + 2 * std::size_t{paramWords} ||
        (blockSize == 0) != (blockCount == 0))
    {
        rejectFrame();
        return true;
    }

    LoggedRequest entry;
    entry.sequence = static_cast<std::uint32_t>(log.size() + 1);
    entry.command = command;
    entry.blockSize = blockSize;
    entry.blockCount = blockCount;
    for (std::size_t i = 0; i < paramWords; ++i)
    {
        entry.params.push_back(readWord(data + RequestHeaderBytes + 2 * i));
    }
    const std::uint32_t commandCount = ++perCommandCount[command];
    log.push_back(entry);

    replyFaults.clear();
    for (const Fault& fault : scenario.faults)
    {
        const std::uint32_t counted =
            fault.command == 0 ? entry.sequence : (fault.command == command ? commandCount : 0);
        if (counted != fault.atRequest)
        {
            continue;
        }
        switch (fault.kind)
        {
        case FaultKind::FailTransfer:
            replyFaults.clear();
            return false;
        case FaultKind::Disconnect:
            isDisconnected = true;
            pendingIn.clear();
            frontOffset = 0;
            replyReady.notify_all();
            return false;
        case FaultKind::Stall:
            isStalled = true;
            break;
        default:
            replyFaults.push_back(fault);
            break;
        }
    }

    if (blockCount > 0)
    {
        inDataPhase = true;
        blocksRemaining = blockCount;
        dataStatus = status::Done;
        if (command != cmd::WriteBlocks || !entry.params.empty())
        {
            dataStatus = status::BadParameters;
        }
        else if (!writing)
        {
            dataStatus = status::NoWrite;
        }
        else if (blockSize != 2 * std::uint32_t{scenario.blockWords})
        {
            dataStatus = status::BadBlock;
        }
        return true;
    }

    finish(command, entry.sequence, dispatch(command, entry.params));
    return true;
}

void VirtualSoundDevice::State::receiveBlock(const std::uint8_t* data, std::size_t length)
{
    LoggedRequest& entry = log.back();
    ++entry.blocksReceived;
    if (dataStatus == status::Done)
    {
        if (length != entry.blockSize)
        {
            dataStatus = status::BadBlock;
        }
        else
        {
            writeBlock(data, length);
        }
    }
    if (--blocksRemaining == 0)
    {
        inDataPhase = false;
        Reply reply;
        reply.status = dataStatus;
        finish(entry.command, entry.sequence, reply);
    }
}

void VirtualSoundDevice::State::writeBlock(const std::uint8_t* data, std::size_t length)
{
    const RangeLayout& range = scenario.ranges[writeRange];
    const std::uint64_t end = rangeStart(range) + rangeWords(range);
    for (std::size_t i = 0; i + 1 < length; i += 2)
    {
        if (writeAddress >= end)
        {
            // The rest of the data belongs to no range of this write; it is dropped, never
            // spilled into the neighbouring memory.
            dataStatus = status::OutOfRange;
            return;
        }
        flash[writeRange].write(static_cast<std::uint32_t>(writeAddress - rangeStart(range)),
                                data[i], data[i + 1]);
        ++writeAddress;
    }
}

Reply VirtualSoundDevice::State::describe() const
{
    std::vector<std::uint8_t> bytes;
    appendWord(bytes, scenario.blockWords);
    appendWord(bytes, static_cast<std::uint16_t>(scenario.ranges.size()));
    appendWord(bytes, scenario.tableFormat);
    appendWord(bytes, 0);
    for (const RangeLayout& range : scenario.ranges)
    {
        appendWord(bytes, range.startUnits);
        appendWord(bytes, range.endUnits);
        if (scenario.tableFormat == 1)
        {
            appendWord(bytes, range.targetId);
            bytes.insert(bytes.end(), 6, 0);
        }
        appendName(bytes, range.name);
    }
    Reply reply;
    reply.status = status::Reply;
    for (std::size_t i = 0; i < bytes.size(); i += 2)
    {
        reply.payload.push_back(readWord(&bytes[i]));
    }
    return reply;
}

Reply VirtualSoundDevice::State::beginWrite(const std::vector<std::uint16_t>& params)
{
    const std::uint64_t address =
        std::uint64_t{params[0]} | (static_cast<std::uint64_t>(params[1]) << 16);
    writing = false;
    for (std::size_t i = 0; i < scenario.ranges.size(); ++i)
    {
        const RangeLayout& range = scenario.ranges[i];
        if (address >= rangeStart(range) && address < rangeStart(range) + rangeWords(range))
        {
            writing = true;
            writeRange = i;
            writeAddress = address;
            return {};
        }
    }
    return {status::OutOfRange, {}};
}

Reply VirtualSoundDevice::State::dispatch(std::uint16_t command,
                                          const std::vector<std::uint16_t>& params)
{
    const Reply badParameters{status::BadParameters, {}};
    switch (command)
    {
    case cmd::Probe:
    case cmd::ProbeProgrammer:
        if (!params.empty())
        {
            return badParameters;
        }
        return {status::Reply,
                command == cmd::Probe ? scenario.probeReply : scenario.programmerProbeReply};
    case cmd::Describe:
        if (params.size() != 1 || params[0] != 1)
        {
            return badParameters;
        }
        return describe();
    case cmd::BeginWrite:
        if (params.size() != 2)
        {
            return badParameters;
        }
        return beginWrite(params);
    case cmd::EndWrite:
        if (!params.empty())
        {
            return badParameters;
        }
        if (!writing)
        {
            return {status::NoWrite, {}};
        }
        writing = false;
        completeIndex = 0;
        return {};
    case cmd::WriteBlocks:
        return badParameters; // data blocks are what this request is for
    case cmd::BeginVerify:
        if (!params.empty())
        {
            return badParameters;
        }
        verifyIndex = 0;
        return {};
    case cmd::PollComplete:
    {
        if (params.size() != 2)
        {
            return badParameters;
        }
        const PollStep* step = nextStep(scenario.completeSteps, completeIndex);
        if (step == nullptr)
        {
            return {};
        }
        return {status::Reply, {step->progress, step->waitMs}};
    }
    case cmd::PollVerify:
    {
        if (params.size() != 4)
        {
            return badParameters;
        }
        const PollStep* step = nextStep(scenario.verifySteps, verifyIndex);
        if (step == nullptr)
        {
            return {};
        }
        return {status::Reply,
                {step->progress, step->waitMs, static_cast<std::uint16_t>(step->value >> 16),
                 static_cast<std::uint16_t>(step->value & 0xFFFF)}};
    }
    case cmd::PollOperation:
    {
        if (params.size() != 5 + MessageBytes / 2)
        {
            return badParameters;
        }
        const std::uint16_t mode = params[0];
        const auto steps = scenario.operationSteps.find(mode);
        if (steps == scenario.operationSteps.end())
        {
            return badParameters;
        }
        if (!haveMode || lastMode != mode)
        {
            operationIndex = 0;
        }
        haveMode = true;
        lastMode = mode;
        const PollStep* step = nextStep(steps->second, operationIndex);
        if (step == nullptr)
        {
            return {};
        }
        Reply reply{status::Reply,
                    {step->progress, step->waitMs, static_cast<std::uint16_t>(step->value & 0xFFFF),
                     static_cast<std::uint16_t>(step->value >> 16)}};
        appendMessageWords(reply.payload, step->message);
        return reply;
    }
    default:
        return {status::UnknownCommand, {}};
    }
}

VirtualSoundDevice::VirtualSoundDevice(Scenario scenario)
    : state(std::make_unique<State>(std::move(scenario)))
{
}

VirtualSoundDevice::~VirtualSoundDevice() = default;

std::uint16_t VirtualSoundDevice::vendorId() const
{
    return state->scenario.vendorId;
}

std::uint16_t VirtualSoundDevice::productId() const
{
    return state->scenario.productId;
}

std::uint16_t VirtualSoundDevice::deviceVersion() const
{
    return state->scenario.deviceVersion;
}

std::vector<std::uint8_t> VirtualSoundDevice::deviceDescriptor() const
{
    const Scenario& s = state->scenario;
    std::vector<std::uint8_t> out = {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64};
    appendWord(out, s.vendorId);
    appendWord(out, s.productId);
    appendWord(out, s.deviceVersion);
    out.push_back(s.manufacturer.empty() ? 0 : 1);
    out.push_back(s.product.empty() ? 0 : 2);
    out.push_back(s.serialNumber.empty() ? 0 : 3);
    out.push_back(1);
    return out;
}

std::vector<std::uint8_t> VirtualSoundDevice::stringDescriptor(std::uint8_t index) const
{
    const Scenario& s = state->scenario;
    const std::u16string* text = nullptr;
    switch (index)
    {
    case 0:
        return {4, 3, 0x09, 0x04}; // one language, US English
    case 1:
        text = &s.manufacturer;
        break;
    case 2:
        text = &s.product;
        break;
    case 3:
        text = &s.serialNumber;
        break;
    default:
        return {};
    }
    if (text->empty())
    {
        return {};
    }
    return stringToDescriptor(*text);
}

void VirtualSoundDevice::discardPendingIn()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->pendingIn.clear();
    state->frontOffset = 0;
}

bool VirtualSoundDevice::receiveOut(const std::uint8_t* data, std::size_t length)
{
    std::lock_guard<std::mutex> lock(state->mutex);
    if (state->aborted || state->isDisconnected)
    {
        return false;
    }
    return state->receive(data, length);
}

bool VirtualSoundDevice::sendIn(std::uint8_t* buffer, std::size_t maxLength, std::size_t& delivered)
{
    delivered = 0;
    std::unique_lock<std::mutex> lock(state->mutex);
    state->replyReady.wait(lock,
                           [this]
                           {
                               return state->aborted || state->isDisconnected ||
                                      (!state->isStalled && !state->pendingIn.empty());
                           });
    if (state->aborted || state->isDisconnected || (buffer == nullptr && maxLength > 0))
    {
        return false;
    }
    const std::vector<std::uint8_t>& front = state->pendingIn.front();
    const std::size_t count = std::min(maxLength, front.size() - state->frontOffset);
    if (count > 0)
    {
        std::memcpy(buffer, front.data() + state->frontOffset, count);
    }
    state->frontOffset += count;
    if (state->frontOffset == front.size())
    {
        state->pendingIn.pop_front();
        state->frontOffset = 0;
    }
    delivered = count;
    return true;
}

void VirtualSoundDevice::abortTransfers()
{
    std::lock_guard<std::mutex> lock(state->mutex);
    state->aborted = true;
    state->replyReady.notify_all();
}

const Scenario& VirtualSoundDevice::scenario() const
{
    return state->scenario;
}

std::vector<std::uint8_t> VirtualSoundDevice::readFlash(std::size_t rangeIndex,
                                                        std::uint32_t wordOffset,
                                                        std::uint32_t wordCount) const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    std::vector<std::uint8_t> out;
    if (rangeIndex >= state->flash.size())
    {
        return out;
    }
    const std::uint64_t words = rangeWords(state->scenario.ranges[rangeIndex]);
    const std::uint64_t stop =
        std::min<std::uint64_t>(words, std::uint64_t{wordOffset} + wordCount);
    for (std::uint64_t word = wordOffset; word < stop; ++word)
    {
        state->flash[rangeIndex].read(static_cast<std::uint32_t>(word), out);
    }
    return out;
}

std::uint64_t VirtualSoundDevice::writtenWords(std::size_t rangeIndex) const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return rangeIndex < state->flash.size() ? state->flash[rangeIndex].writtenWords : 0;
}

std::vector<LoggedRequest> VirtualSoundDevice::requestLog() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->log;
}

std::uint32_t VirtualSoundDevice::deviceErrors() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->deviceErrors;
}

std::uint32_t VirtualSoundDevice::malformedFrames() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->malformedFrames;
}

bool VirtualSoundDevice::disconnected() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->isDisconnected;
}

bool VirtualSoundDevice::stalled() const
{
    std::lock_guard<std::mutex> lock(state->mutex);
    return state->isStalled;
}

std::unique_ptr<VirtualSoundDevice> createVirtualDevice(Scenario scenario)
{
    return std::make_unique<VirtualSoundDevice>(std::move(scenario));
}

} // namespace zantovirtual
