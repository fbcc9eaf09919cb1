#include "package/ZfedDecoder.h"

#include <climits>
#include <cstring>

// A table-driven inflater that answers exactly what a bit-at-a-time canonical decoder answers.
//
// The packages' decoder contract is defined in terms of a decoder that reads one bit at a time and
// gives up after 15 bits ("no such code", -10) or when the payload ends (-1). A lookup table finds
// the same symbol in one step; the only care needed is at the end of the payload, where the table
// peeks at bits that do not exist. Those bits read as zero, and the rule that restores the exact
// answer is simple: a code that needs more bits than are really left would have run the
// bit-at-a-time decoder out of input (-1), and so would an unmatched pattern when fewer than 15
// real bits are left; only with 15 real bits can "no such code" (-10) be told apart.
//
// Everything lives on the stack in fixed-size arrays; nothing is allocated.

namespace
{

constexpr int maxCodeBits = 15;
constexpr int maxLiteralCodes = 286;
constexpr int maxDistanceCodes = 30;
constexpr int codeLengthCodes = 19;

std::uint32_t readLe32(const std::uint8_t* p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::uint64_t readLe64(const std::uint8_t* p)
{
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

// ---------------------------------------------------------------------------------------------
// Bits. The window holds the next payload bits, least significant first. `available` counts the
// bits that really come from the payload; above them the window holds either further payload
// bits (from the word-sized refill, which are loaded again later at the same place) or, once
// the payload is used up, zeros.

class BitReader
{
public:
    BitReader(const std::uint8_t* payload, std::size_t length)
        : next(payload), end(payload + length)
    {
    }

    // Tops the window up to at least 56 real bits, or to everything that is left.
    void refill()
    {
        if (end - next >= 8)
        {
            window |= readLe64(next) << available;
            next += (63 - available) >> 3;
            available |= 56;
            return;
        }
        while (available <= 56 && next < end)
        {
            window |= std::uint64_t(*next++) << available;
            available += 8;
        }
    }

    bool has(unsigned count) const { return count <= available; }
    unsigned bitsAvailable() const { return available; }
    std::uint32_t peek() const { return std::uint32_t(window); }

    void consume(unsigned count)
    {
        window >>= count;
        available -= count;
    }

    // Takes `count` (0 to 16) bits; false when the payload does not hold them.
    bool take(unsigned count, std::uint32_t& value)
    {
        if (!has(count))
        {
            refill();
            if (!has(count))
                return false;
        }
        value = std::uint32_t(window) & ((1u << count) - 1);
        consume(count);
        return true;
    }

private:
    const std::uint8_t* next;
    const std::uint8_t* end;
    std::uint64_t window = 0;
    unsigned available = 0;
};

// ---------------------------------------------------------------------------------------------
// Huffman lookup tables. An entry packs what decoding needs next:
//   bits 0-3   code length in bits (for a subtable link: the subtable's index bits)
//   bits 4-6   kind
//   bits 8-11  extra bits that follow the code (length and distance symbols)
//   bits 16-31 value: literal byte, length or distance base, plain symbol, or subtable offset

enum EntryKind : std::uint32_t
{
    kindInvalid = 0, // no code starts with these bits
    kindPlain,       // a symbol of the code-length code
    kindLiteral,
    kindLength,
    kindEndOfBlock,
    kindDistance,
    kindSubtable,
};

constexpr std::uint32_t makeEntry(std::uint32_t kind, unsigned length, unsigned extra,
                                  std::uint32_t value)
{
    return value << 16 | std::uint32_t(extra) << 8 | kind << 4 | length;
}

constexpr unsigned entryLength(std::uint32_t e)
{
    return e & 15;
}
constexpr std::uint32_t entryKind(std::uint32_t e)
{
    return (e >> 4) & 7;
}
constexpr unsigned entryExtra(std::uint32_t e)
{
    return (e >> 8) & 15;
}
constexpr std::uint32_t entryValue(std::uint32_t e)
{
    return e >> 16;
}

// Codes longer than the root index get a subtable of their own root prefix, sized for the longest
// code under that prefix. The worst case is one such code per subtable, each needing
// 2^(15 - rootBits) entries, which gives a bound that holds for incomplete codes as well.
constexpr std::size_t tableCapacity(int symbols, int rootBits)
{
    return (std::size_t(1) << rootBits) +
           std::size_t(symbols) * (std::size_t(1) << (maxCodeBits - rootBits));
}

constexpr int literalRootBits = 11;
constexpr int distanceRootBits = 8;
constexpr int codeLengthRootBits = 7; // the code-length code has codes of up to 7 bits

template <int Symbols, int RootBits> struct HuffmanTable
{
    static constexpr int rootBits = RootBits;
    std::uint32_t entries[tableCapacity(Symbols, RootBits)];
};

constexpr std::uint16_t lengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t distanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

enum class CodeUse
{
    codeLengths,
    literals,
    distances
};

std::uint32_t entryForSymbol(CodeUse use, unsigned symbol, unsigned length)
{
    switch (use)
    {
    case CodeUse::codeLengths:
        return makeEntry(kindPlain, length, 0, symbol);
    case CodeUse::literals:
        if (symbol < 256)
            return makeEntry(kindLiteral, length, 0, symbol);
        if (symbol == 256)
            return makeEntry(kindEndOfBlock, length, 0, 0);
        return makeEntry(kindLength, length, lengthExtra[symbol - 257], lengthBase[symbol - 257]);
    case CodeUse::distances:
        break;
    }
    return makeEntry(kindDistance, length, distanceExtra[symbol], distanceBase[symbol]);
}

unsigned reverseBits(unsigned code, unsigned length)
{
    unsigned reversed = 0;
    for (unsigned i = 0; i < length; ++i, code >>= 1)
        reversed = reversed << 1 | (code & 1);
    return reversed;
}

struct CodeShape
{
    int left = 1;        // 0 complete, > 0 incomplete, < 0 over-subscribed
    int usedSymbols = 0; // symbols with a non-zero length
};

// Measures a code given by its lengths and, unless it is over-subscribed, builds its table.
// Symbols with equal lengths take consecutive codes in symbol order (canonical Huffman codes).
template <int Symbols, int RootBits>
CodeShape buildTable(const std::uint8_t* lengths, int count, CodeUse use,
                     HuffmanTable<Symbols, RootBits>& table)
{
    int lengthCount[maxCodeBits + 1] = {};
    for (int s = 0; s < count; ++s)
        ++lengthCount[lengths[s]];

    CodeShape shape;
    shape.usedSymbols = count - lengthCount[0];
    constexpr std::uint32_t rootSize = 1u << RootBits;
    std::uint32_t* entries = table.entries;
    std::memset(entries, 0, rootSize * sizeof(std::uint32_t)); // all kindInvalid
    if (shape.usedSymbols == 0)
    {
        shape.left = 0; // an empty code counts as complete; any attempt to decode with it fails
        return shape;
    }
    for (int length = 1; length <= maxCodeBits; ++length)
    {
        shape.left = 2 * shape.left - lengthCount[length];
        if (shape.left < 0)
            return shape;
    }

    // RFC 1951, 3.2.2: the first code of each length follows the last code of the length before.
    unsigned nextCode[maxCodeBits + 1] = {};
    for (unsigned length = 1, code = 0; length <= unsigned(maxCodeBits); ++length)
    {
        code = (code + unsigned(length > 1 ? lengthCount[length - 1] : 0)) << 1;
        nextCode[length] = code;
    }

    // First pass: the longest code under every root prefix decides its subtable's size.
    std::uint8_t longestUnderPrefix[rootSize] = {};
    unsigned codes[Symbols];
    for (int s = 0; s < count; ++s)
    {
        const unsigned length = lengths[s];
        if (length == 0)
            continue;
        codes[s] = reverseBits(nextCode[length]++, length);
        if (length > unsigned(RootBits))
        {
            std::uint8_t& longest = longestUnderPrefix[codes[s] & (rootSize - 1)];
            if (length > longest)
                longest = std::uint8_t(length);
        }
    }

    std::uint32_t nextSubtable = rootSize;
    for (std::uint32_t prefix = 0; prefix < rootSize; ++prefix)
    {
        if (longestUnderPrefix[prefix] == 0)
            continue;
        const unsigned subBits = longestUnderPrefix[prefix] - unsigned(RootBits);
        entries[prefix] = makeEntry(kindSubtable, subBits, 0, nextSubtable);
        std::memset(entries + nextSubtable, 0, (std::size_t(1) << subBits) * sizeof(std::uint32_t));
        nextSubtable += 1u << subBits;
    }

    // Second pass: every code fills each entry whose index starts with its bits.
    for (int s = 0; s < count; ++s)
    {
        const unsigned length = lengths[s];
        if (length == 0)
            continue;
        const std::uint32_t entry = entryForSymbol(use, unsigned(s), length);
        if (length <= unsigned(RootBits))
        {
            for (std::uint32_t i = codes[s]; i < rootSize; i += 1u << length)
                entries[i] = entry;
        }
        else
        {
            const std::uint32_t link = entries[codes[s] & (rootSize - 1)];
            std::uint32_t* sub = entries + entryValue(link);
            const std::uint32_t subSize = 1u << entryLength(link);
            for (std::uint32_t i = codes[s] >> RootBits; i < subSize;
                 i += 1u << (length - RootBits))
                sub[i] = entry;
        }
    }
    return shape;
}

// The table entry that the next bits select, through a subtable where the code is long.
template <int Symbols, int RootBits>
std::uint32_t lookUp(const HuffmanTable<Symbols, RootBits>& table, std::uint32_t window)
{
    const std::uint32_t e = table.entries[window & ((1u << RootBits) - 1)];
    if (entryKind(e) != kindSubtable)
        return e;
    return table.entries[entryValue(e) + ((window >> RootBits) & ((1u << entryLength(e)) - 1))];
}

// Decodes one symbol, answering 0 with its table entry, or the failure the bit-at-a-time decoder
// would have met (see the comment at the top).
template <int Symbols, int RootBits>
int decodeSymbol(BitReader& bits, const HuffmanTable<Symbols, RootBits>& table,
                 std::uint32_t& entry)
{
    if (!bits.has(maxCodeBits))
        bits.refill();
    const std::uint32_t e = lookUp(table, bits.peek());
    if (entryKind(e) == kindInvalid)
        return bits.has(maxCodeBits) ? zfedBadSymbol : zfedBadBlock;
    if (!bits.has(entryLength(e)))
        return zfedBadBlock;
    bits.consume(entryLength(e));
    entry = e;
    return 0;
}

struct Output
{
    std::uint8_t* data;
    std::uint32_t size;  // the declared decoded size; nothing is ever written at or beyond it
    std::uint32_t count; // bytes written so far
};

// Copies a match one byte after another in effect, so that it may overlap what it produces.
void copyMatch(Output& out, std::uint32_t distance, std::uint32_t length)
{
    std::uint8_t* dst = out.data + out.count;
    const std::uint8_t* src = dst - distance;
    out.count += length;
    if (distance >= length)
    {
        std::memcpy(dst, src, length);
        return;
    }
    if (distance == 1)
    {
        std::memset(dst, *src, length);
        return;
    }
    // Pieces of 8 bytes whose source lies wholly before their destination still behave as the
    // byte-wise copy does.
    while (length >= 8 && distance >= 8)
    {
        std::memcpy(dst, src, 8);
        dst += 8;
        src += 8;
        length -= 8;
    }
    while (length-- > 0)
        *dst++ = *src++;
}

struct DynamicTables
{
    HuffmanTable<codeLengthCodes, codeLengthRootBits> codeLengths;
    HuffmanTable<maxLiteralCodes, literalRootBits> literals;
    HuffmanTable<maxDistanceCodes, distanceRootBits> distances;
};

// Reads the code definitions of a dynamic block into the tables; 0 or a failure.
int readCodes(BitReader& bits, DynamicTables& tables)
{
    std::uint32_t literalCount = 0, distanceCount = 0, codeLengthCount = 0;
    if (!bits.take(5, literalCount) || !bits.take(5, distanceCount) ||
        !bits.take(4, codeLengthCount))
        return zfedBadBlock;
    literalCount += 257;
    distanceCount += 1;
    codeLengthCount += 4;
    if (literalCount > std::uint32_t(maxLiteralCodes) ||
        distanceCount > std::uint32_t(maxDistanceCodes))
        return zfedTooManyCodes;

    static constexpr std::uint8_t codeLengthOrder[codeLengthCodes] = {
        16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    std::uint8_t codeLengthLengths[codeLengthCodes] = {};
    for (std::uint32_t i = 0; i < codeLengthCount; ++i)
    {
        std::uint32_t length = 0;
        if (!bits.take(3, length))
            return zfedBadBlock;
        codeLengthLengths[codeLengthOrder[i]] = std::uint8_t(length);
    }
    if (buildTable(codeLengthLengths, codeLengthCodes, CodeUse::codeLengths, tables.codeLengths)
            .left != 0)
        return zfedBadCodeLengthCode;

    std::uint8_t lengths[maxLiteralCodes + maxDistanceCodes];

    const std::uint32_t total = literalCount + distanceCount;
    std::uint32_t index = 0;
    while (index < total)
    {
        std::uint32_t entry = 0;
        if (const int failure = decodeSymbol(bits, tables.codeLengths, entry))
            return failure;
        const std::uint32_t symbol = entryValue(entry);
        if (symbol < 16)
        {
            lengths[index++] = std::uint8_t(symbol);
            continue;
        }
        std::uint8_t repeated = 0;
        std::uint32_t repeat = 0;
        if (symbol == 16)
        {
            if (index == 0)
                return zfedRepeatWithoutLength;
            repeated = lengths[index - 1];
            if (!bits.take(2, repeat))
                return zfedBadBlock;
            repeat += 3;
        }
        else if (symbol == 17)
        {
            if (!bits.take(3, repeat))
                return zfedBadBlock;
            repeat += 3;
        }
        else
        {
            if (!bits.take(7, repeat))
                return zfedBadBlock;
            repeat += 11;
        }
        if (index + repeat > total)
            return zfedTooManyLengths;
        std::memset(lengths + index, repeated, repeat);
        index += repeat;
    }

    if (lengths[256] == 0)
        return zfedMissingEndOfBlock;

    // An incomplete code is allowed only when it holds a single symbol.
    const CodeShape literals =
        buildTable(lengths, int(literalCount), CodeUse::literals, tables.literals);
    if (literals.left < 0 || (literals.left > 0 && literals.usedSymbols != 1))
        return zfedBadLiteralCode;
    const CodeShape distances = buildTable(lengths + literalCount, int(distanceCount),
                                           CodeUse::distances, tables.distances);
    if (distances.left < 0 || (distances.left > 0 && distances.usedSymbols != 1))
        return zfedBadDistanceCode;
    return 0;
}

// Decodes the symbols of one dynamic block up to its end-of-block code; 0 or a failure.
int decodeSymbols(BitReader& bits, const DynamicTables& tables, Output& out)
{
    for (;;)
    {
        // One refill covers a whole length/distance pair: 15 + 5 + 15 + 13 = 48 bits.
        bits.refill();

        // Literals are the common case: with 45 real bits at hand, three codes of at most 15 bits
        // each can be taken without any further check of the input. Anything else, including a
        // bit pattern that is no code, goes the careful way below.
        if (bits.bitsAvailable() >= 3 * maxCodeBits)
        {
            int taken = 0;
            for (; taken < 3; ++taken)
            {
                const std::uint32_t e = lookUp(tables.literals, bits.peek());
                if (entryKind(e) != kindLiteral)
                    break;
                if (out.count == out.size)
                    return zfedBadBlock;
                bits.consume(entryLength(e));
                out.data[out.count++] = std::uint8_t(entryValue(e));
            }
            if (taken > 0)
                continue;
        }

        std::uint32_t entry = 0;
        if (const int failure = decodeSymbol(bits, tables.literals, entry))
            return failure;

        switch (entryKind(entry))
        {
        case kindLiteral:
            if (out.count == out.size)
                return zfedBadBlock;
            out.data[out.count++] = std::uint8_t(entryValue(entry));
            continue;
        case kindEndOfBlock:
            return 0;
        default:
            break;
        }

        // A length symbol (the table holds nothing else). Symbols 286 and 287 cannot occur: a
        // block declares at most 286 literal/length codes, so they never receive a code.
        std::uint32_t extra = 0;
        if (!bits.take(entryExtra(entry), extra))
            return zfedBadBlock;
        const std::uint32_t length = entryValue(entry) + extra;

        if (const int failure = decodeSymbol(bits, tables.distances, entry))
            return failure;
        if (!bits.take(entryExtra(entry), extra))
            return zfedBadBlock;
        const std::uint32_t distance = entryValue(entry) + extra;

        if (distance > out.count)
            return zfedDistanceTooFar;
        if (length > out.size - out.count)
            return zfedBadBlock;
        copyMatch(out, distance, length);
    }
}

} // namespace

int decodeBlock(const std::uint8_t* block, std::size_t blockBytes, std::uint8_t* output,
                std::size_t outputCapacity)
{
    if (block == nullptr || blockBytes < zfedHeaderSize || std::memcmp(block, "zFED", 4) != 0)
        return zfedBadBlock;
    const std::uint32_t decodedSize = readLe32(block + 4);
    const std::uint32_t blockSize = readLe32(block + 8);
    // The header's sizes are not trusted: the block must lie within the bytes we were given, the
    // output within the caller's buffer, and a successful count must be representable.
    if (blockSize < zfedHeaderSize || blockSize > blockBytes || decodedSize > outputCapacity ||
        decodedSize > std::uint32_t(INT_MAX) || (decodedSize > 0 && output == nullptr))
        return zfedBadBlock;

    BitReader bits(block + zfedHeaderSize, blockSize - zfedHeaderSize);
    Output out{output, decodedSize, 0};
    DynamicTables tables;

    for (;;)
    {
        std::uint32_t final = 0, type = 0;
        if (!bits.take(1, final) || !bits.take(2, type))
            return zfedBadBlock;

        int result = zfedBadBlock; // stored (0), fixed (1) and reserved (3) blocks are refused
        if (type == 2)
        {
            result = readCodes(bits, tables);
            if (result == 0)
                result = decodeSymbols(bits, tables, out);
        }

        if (result != 0)
            return result;
        if (final)
            return out.count == decodedSize ? int(out.count) : zfedBadBlock;
    }
}
