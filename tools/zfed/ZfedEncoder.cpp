#include "tools/zfed/ZfedEncoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

// A DEFLATE compressor in three layers:
//
//  1. LZ77 parsing (class Deflater): hash chains over the 32 KiB window and lazy matching, with
//     the parameters of zlib's level 6. The whole input is in memory, so positions are plain
//     offsets into it and the "window" is simply the 32 KiB before the current position; nothing
//     is ever copied or slid.
//  2. Block splitting: the parsed symbols are grouped into segments of a few thousand symbols. A
//     segment joins the current block unless coding it as a block of its own (with its own codes
//     and its own header) is cheaper than coding the two together. Both sides of that comparison
//     are exact bit counts, computed by the same planning code that later writes the block.
//  3. Block writing: length-limited Huffman codes, the run-length coded code lengths and the
//     symbols, least significant bit first. Every block is a dynamic block (type 2), and each of
//     its three codes is complete: a code that would have fewer than two symbols gets dummy
//     symbols, because a one-symbol code is incomplete and inflaters differ in whether they take it.

namespace zfed
{
namespace
{

// ---------------------------------------------------------------------------------------------
// Format constants (RFC 1951).

constexpr std::size_t windowSize = 32768; // also the largest distance
constexpr unsigned minMatch = 3;
constexpr unsigned maxMatch = 258;

constexpr int literalCodes = 286; // 0-255 literals, 256 end of block, 257-285 lengths
constexpr int distanceCodes = 30;
constexpr int codeLengthCodes = 19;
constexpr int endOfBlock = 256;

constexpr int maxCodeBits = 15;       // literal/length and distance codes
constexpr int maxCodeLengthBits = 7;  // the code-length code: its lengths are sent in 3 bits

constexpr std::uint16_t lengthBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,
                                          15, 17, 19, 23, 27, 31, 35, 43, 51,  59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t lengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t distanceBase[30] = {1,    2,    3,    4,    5,    7,     9,     13,
                                            17,   25,   33,   49,   65,   97,    129,   193,
                                            257,  385,  513,  769,  1025, 1537,  2049,  3073,
                                            4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t distanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                            6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which the code-length code's lengths are sent: the likely-unused ones last, so
// that HCLEN can cut them off.
constexpr std::uint8_t codeLengthOrder[codeLengthCodes] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                                           11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length 3..258 -> index of its length symbol (symbol - 257).
constexpr std::array<std::uint8_t, maxMatch + 1> makeLengthIndex()
{
    std::array<std::uint8_t, maxMatch + 1> table{};
    for (int code = 0; code < 28; ++code) // code 28 (length 258) would overlap code 27's range
        for (unsigned n = 0; n < (1u << lengthExtra[code]); ++n)
            table[lengthBase[code] + n] = std::uint8_t(code);
    table[maxMatch] = 28;
    return table;
}
constexpr auto lengthIndex = makeLengthIndex();

// Distance -> distance symbol, zlib's trick: distances up to 256 are looked up directly, larger
// ones by their value divided by 128. That works because from distance 257 on every symbol
// covers a multiple of 128 distances, starting at 1 more than a multiple of 128.
constexpr std::array<std::uint8_t, 512> makeDistanceIndex()
{
    std::array<std::uint8_t, 512> table{};
    for (int code = 0; code < distanceCodes; ++code)
        for (unsigned n = 0; n < (1u << distanceExtra[code]); ++n)
        {
            const unsigned d = distanceBase[code] + n - 1; // 0-based distance, 0 to 32767
            table[d < 256 ? d : 256 + (d >> 7)] = std::uint8_t(code);
        }
    return table;
}
constexpr auto distanceIndex = makeDistanceIndex();

inline unsigned distanceSymbol(unsigned distance)
{
    const unsigned d = distance - 1;
    return distanceIndex[d < 256 ? d : 256 + (d >> 7)];
}

// ---------------------------------------------------------------------------------------------
// Bits, least significant first. Up to 32 bits per call; whole 32-bit words leave the buffer.

class BitWriter
{
public:
    explicit BitWriter(std::vector<std::uint8_t>& out) : out(out) {}

    void put(std::uint32_t bits, unsigned count)
    {
        buffer |= std::uint64_t(bits) << used; // used < 32 and count <= 32: never overflows
        used += count;
        if (used >= 32)
        {
            const std::uint32_t word = std::uint32_t(buffer);
            out.push_back(std::uint8_t(word));
            out.push_back(std::uint8_t(word >> 8));
            out.push_back(std::uint8_t(word >> 16));
            out.push_back(std::uint8_t(word >> 24));
            buffer >>= 32;
            used -= 32;
        }
    }

    // Pads the last byte with zero bits.
    void finish()
    {
        while (used > 0)
        {
            out.push_back(std::uint8_t(buffer));
            buffer >>= 8;
            used = used > 8 ? used - 8 : 0;
        }
    }

private:
    std::vector<std::uint8_t>& out;
    std::uint64_t buffer = 0;
    unsigned used = 0;
};

// ---------------------------------------------------------------------------------------------
// Huffman codes.

// Code lengths for `count` symbols (at most literalCodes) from their frequencies, no length above
// maxBits, and always a complete code of at least two symbols: when fewer than two symbols occur,
// unused symbols are added as dummies, the first ones of dummyOrder (or of 0, 1, 2, ... when it is
// null), so that the cheapest ones to declare are taken.
void buildLengths(const std::uint32_t* frequencies, int count, int maxBits,
                  const std::uint8_t* dummyOrder, std::uint8_t* lengths)
{
    // A leaf is its weight and symbol in one integer, weight above: sorting the integers orders
    // the leaves by weight, then by symbol, and is much faster than sorting records.
    std::uint64_t leaves[literalCodes];
    int used = 0;
    for (int s = 0; s < count; ++s)
    {
        lengths[s] = 0;
        if (frequencies[s] != 0)
            leaves[used++] = std::uint64_t(frequencies[s]) << 16 | unsigned(s);
    }
    for (int i = 0; used < 2 && i < count; ++i)
    {
        const int s = dummyOrder ? dummyOrder[i] : i;
        if (frequencies[s] == 0)
            leaves[used++] = std::uint64_t(1) << 16 | unsigned(s);
    }
    std::sort(leaves, leaves + used);
    const auto symbolOf = [&leaves](int leaf) { return int(leaves[leaf] & 0xFFFF); };

    // Huffman's algorithm with two queues: the sorted leaves, and the inner nodes, which are made
    // in order of non-decreasing weight and so form a sorted queue by themselves. No heap needed.
    std::uint64_t weight[2 * literalCodes];
    int parent[2 * literalCodes];
    for (int i = 0; i < used; ++i)
        weight[i] = leaves[i] >> 16;
    int nextLeaf = 0, nextInner = used;
    for (int node = used; node < 2 * used - 1; ++node)
    {
        int pair[2];
        for (int& taken : pair)
        {
            if (nextLeaf < used && (nextInner >= node || weight[nextLeaf] <= weight[nextInner]))
                taken = nextLeaf++;
            else
                taken = nextInner++;
        }
        weight[node] = weight[pair[0]] + weight[pair[1]];
        parent[pair[0]] = parent[pair[1]] = node;
    }
    // Depths from the root (the last node) down; a parent always has a higher index.
    int depth[2 * literalCodes];
    depth[2 * used - 2] = 0;
    for (int node = 2 * used - 3; node >= 0; --node)
        depth[node] = depth[parent[node]] + 1;

    // Count the leaves per length, clamping the ones that are too deep to maxBits. That
    // over-subscribes the code (Kraft sum above 1); the loop repairs it one unit of 2^-maxBits at
    // a time: it drops one code of length maxBits and splits a shorter code into two one bit
    // longer, which keeps the number of codes. The excess is below the number of clamped leaves,
    // so codes of length maxBits are never exhausted, and as long as the sum exceeds 1 some code
    // is shorter than maxBits. The result is exactly complete.
    int lengthCount[maxCodeBits + 1] = {};
    for (int i = 0; i < used; ++i)
        ++lengthCount[std::min(depth[i], maxBits)];
    std::uint32_t kraft = 0; // in units of 2^-maxBits
    for (int bits = 1; bits <= maxBits; ++bits)
        kraft += std::uint32_t(lengthCount[bits]) << (maxBits - bits);
    while (kraft > (1u << maxBits))
    {
        --lengthCount[maxBits];
        for (int bits = maxBits - 1; bits > 0; --bits)
            if (lengthCount[bits] > 0)
            {
                --lengthCount[bits];
                lengthCount[bits + 1] += 2;
                break;
            }
        --kraft;
    }

    // Hand out the lengths again, the longest to the rarest symbols. Without clamping this gives
    // the depths back (up to ties); with it, it is what keeps the repaired code good.
    int leaf = 0;
    for (int bits = maxBits; bits >= 1; --bits)
        for (int n = lengthCount[bits]; n > 0; --n)
            lengths[symbolOf(leaf++)] = std::uint8_t(bits);
}

// Canonical codes (RFC 1951, 3.2.2), bit-reversed because DEFLATE sends Huffman codes starting
// with their most significant bit while the writer sends everything else least significant first.
void makeCodes(const std::uint8_t* lengths, int count, std::uint16_t* codes)
{
    unsigned lengthCount[maxCodeBits + 1] = {};
    for (int s = 0; s < count; ++s)
        ++lengthCount[lengths[s]];
    lengthCount[0] = 0;
    unsigned nextCode[maxCodeBits + 1] = {};
    for (unsigned bits = 1, code = 0; bits <= unsigned(maxCodeBits); ++bits)
    {
        code = (code + lengthCount[bits - 1]) << 1;
        nextCode[bits] = code;
    }
    for (int s = 0; s < count; ++s)
    {
        const unsigned bits = lengths[s];
        codes[s] = 0;
        if (bits == 0)
            continue;
        unsigned code = nextCode[bits]++, reversed = 0;
        for (unsigned i = 0; i < bits; ++i, code >>= 1)
            reversed = reversed << 1 | (code & 1);
        codes[s] = std::uint16_t(reversed);
    }
}

// ---------------------------------------------------------------------------------------------
// Block planning: everything about a dynamic block except its symbols, and its exact size.

struct Histogram
{
    std::uint32_t literals[literalCodes] = {}; // end of block not included
    std::uint32_t distances[distanceCodes] = {};

    void add(const Histogram& other)
    {
        for (int s = 0; s < literalCodes; ++s)
            literals[s] += other.literals[s];
        for (int s = 0; s < distanceCodes; ++s)
            distances[s] += other.distances[s];
    }
};

struct CodeLengthToken
{
    std::uint8_t symbol; // 0-15 a length, 16 repeat previous, 17/18 runs of zeros
    std::uint8_t extra;  // the repeat count's extra bits
};

constexpr std::uint8_t codeLengthExtraBits(unsigned symbol)
{
    return symbol == 16 ? 2 : symbol == 17 ? 3 : symbol == 18 ? 7 : 0;
}

struct BlockPlan
{
    std::uint8_t literalLengths[literalCodes];
    std::uint8_t distanceLengths[distanceCodes];
    int literalCount;  // HLIT + 257
    int distanceCount; // HDIST + 1
    CodeLengthToken tokens[literalCodes + distanceCodes]; // a token stands for at least 1 length
    int tokenCount;
    std::uint8_t codeLengthLengths[codeLengthCodes];
    int codeLengthCount; // HCLEN + 4
    std::uint64_t bits;  // the whole block: header, codes, symbols, end of block
};

// Run-length codes the sequence of code lengths. The literal/length and distance lengths form one
// sequence, so runs may cross from one to the other (RFC 1951, 3.2.7).
int tokenizeLengths(const std::uint8_t* lengths, int count, CodeLengthToken* tokens)
{
    int n = 0;
    for (int i = 0; i < count;)
    {
        const std::uint8_t value = lengths[i];
        int run = 1;
        while (i + run < count && lengths[i + run] == value)
            ++run;
        i += run;
        if (value == 0)
        {
            while (run >= 11)
            {
                // 18 takes 11 to 138 zeros; leave at least 3 for a 17 rather than 1 or 2 single zeros.
                int take = std::min(run, 138);
                if (run - take > 0 && run - take < 3)
                    take = run - 3;
                tokens[n++] = {18, std::uint8_t(take - 11)};
                run -= take;
            }
            if (run >= 3)
            {
                tokens[n++] = {17, std::uint8_t(run - 3)};
                run = 0;
            }
        }
        else
        {
            tokens[n++] = {value, 0};
            --run;
            while (run >= 3)
            {
                // 16 repeats the previous length 3 to 6 times; same idea as for 18.
                int take = std::min(run, 6);
                if (run - take > 0 && run - take < 3)
                    take = run - 3;
                tokens[n++] = {16, std::uint8_t(take - 3)};
                run -= take;
            }
        }
        for (; run > 0; --run)
            tokens[n++] = {value, 0};
    }
    return n;
}

void planBlock(const Histogram& histogram, BlockPlan& plan)
{
    std::uint32_t literalFrequencies[literalCodes];
    std::memcpy(literalFrequencies, histogram.literals, sizeof literalFrequencies);
    literalFrequencies[endOfBlock] = 1;
    buildLengths(literalFrequencies, literalCodes, maxCodeBits, nullptr, plan.literalLengths);
    buildLengths(histogram.distances, distanceCodes, maxCodeBits, nullptr, plan.distanceLengths);

    plan.literalCount = literalCodes;
    while (plan.literalCount > 257 && plan.literalLengths[plan.literalCount - 1] == 0)
        --plan.literalCount;
    plan.distanceCount = distanceCodes;
    while (plan.distanceCount > 1 && plan.distanceLengths[plan.distanceCount - 1] == 0)
        --plan.distanceCount;

    std::uint8_t sequence[literalCodes + distanceCodes];
    std::memcpy(sequence, plan.literalLengths, std::size_t(plan.literalCount));
    std::memcpy(sequence + plan.literalCount, plan.distanceLengths, std::size_t(plan.distanceCount));
    plan.tokenCount = tokenizeLengths(sequence, plan.literalCount + plan.distanceCount, plan.tokens);

    std::uint32_t tokenFrequencies[codeLengthCodes] = {};
    for (int i = 0; i < plan.tokenCount; ++i)
        ++tokenFrequencies[plan.tokens[i].symbol];
    buildLengths(tokenFrequencies, codeLengthCodes, maxCodeLengthBits, codeLengthOrder,
                 plan.codeLengthLengths);
    plan.codeLengthCount = codeLengthCodes;
    while (plan.codeLengthCount > 4 &&
           plan.codeLengthLengths[codeLengthOrder[plan.codeLengthCount - 1]] == 0)
        --plan.codeLengthCount;

    std::uint64_t bits = 3 + 5 + 5 + 4 + 3 * std::uint64_t(plan.codeLengthCount);
    for (int i = 0; i < plan.tokenCount; ++i)
        bits += plan.codeLengthLengths[plan.tokens[i].symbol] +
                codeLengthExtraBits(plan.tokens[i].symbol);
    for (int s = 0; s < literalCodes; ++s)
    {
        const unsigned extra = s > endOfBlock ? lengthExtra[s - 257] : 0;
        bits += std::uint64_t(literalFrequencies[s]) * (plan.literalLengths[s] + extra);
    }
    for (int s = 0; s < distanceCodes; ++s)
        bits += std::uint64_t(histogram.distances[s]) * (plan.distanceLengths[s] + distanceExtra[s]);
    plan.bits = bits;
}

std::uint64_t blockBits(const Histogram& histogram)
{
    BlockPlan plan;
    planBlock(histogram, plan);
    return plan.bits;
}

// ---------------------------------------------------------------------------------------------
// One parsed symbol: a literal (distance 0) or a match.

struct Symbol
{
    std::uint16_t value;    // the literal byte, or the match length 3-258
    std::uint16_t distance; // 0 for a literal, else 1-32768
};

void writeBlock(BitWriter& out, const Histogram& histogram, const Symbol* symbols,
                std::size_t count, bool final)
{
    BlockPlan plan;
    planBlock(histogram, plan);
    std::uint16_t literalCodesOut[literalCodes], distanceCodesOut[distanceCodes],
        codeLengthCodesOut[codeLengthCodes];
    makeCodes(plan.literalLengths, literalCodes, literalCodesOut);
    makeCodes(plan.distanceLengths, distanceCodes, distanceCodesOut);
    makeCodes(plan.codeLengthLengths, codeLengthCodes, codeLengthCodesOut);

    out.put(final ? 1 : 0, 1);
    out.put(2, 2); // dynamic Huffman codes
    out.put(std::uint32_t(plan.literalCount - 257), 5);
    out.put(std::uint32_t(plan.distanceCount - 1), 5);
    out.put(std::uint32_t(plan.codeLengthCount - 4), 4);
    for (int i = 0; i < plan.codeLengthCount; ++i)
        out.put(plan.codeLengthLengths[codeLengthOrder[i]], 3);
    for (int i = 0; i < plan.tokenCount; ++i)
    {
        const CodeLengthToken token = plan.tokens[i];
        out.put(codeLengthCodesOut[token.symbol], plan.codeLengthLengths[token.symbol]);
        out.put(token.extra, codeLengthExtraBits(token.symbol));
    }

    for (std::size_t i = 0; i < count; ++i)
    {
        const Symbol symbol = symbols[i];
        if (symbol.distance == 0)
        {
            out.put(literalCodesOut[symbol.value], plan.literalLengths[symbol.value]);
            continue;
        }
        // A code and its extra bits go out in one call: at most 15 + 5 and 15 + 13 bits.
        const unsigned li = lengthIndex[symbol.value];
        const unsigned ls = 257 + li;
        out.put(literalCodesOut[ls] | std::uint32_t(symbol.value - lengthBase[li])
                                          << plan.literalLengths[ls],
                plan.literalLengths[ls] + lengthExtra[li]);
        const unsigned ds = distanceSymbol(symbol.distance);
        out.put(distanceCodesOut[ds] | std::uint32_t(symbol.distance - distanceBase[ds])
                                           << plan.distanceLengths[ds],
                plan.distanceLengths[ds] + distanceExtra[ds]);
    }
    out.put(literalCodesOut[endOfBlock], plan.literalLengths[endOfBlock]);
}

// ---------------------------------------------------------------------------------------------
// The compressor.

// zlib's level 6: search at most 128 chain entries (a quarter of that once a match of 8 is in
// hand), stop at a match of 128, and do not look for a better match after one of 16 or more.
constexpr int maxChain = 128;
constexpr unsigned goodLength = 8;
constexpr unsigned niceLength = 128;
constexpr unsigned maxLazy = 16;
// A match of 3 that far back costs about as much as its three literals (a distance code of 13
// extra bits), and taking it would hide the literals from the statistics; zlib drops them too.
constexpr unsigned tooFar = 4096;

constexpr int hashBits = 15;
// The initial head entry, chosen so that pos - noPosition modulo 2^32 is pos + 32769: more than a
// window back for every position of the first 4 GiB, so an empty bucket never offers a candidate.
constexpr std::uint32_t noPosition = std::uint32_t(0) - std::uint32_t(windowSize) - 1;

// Block splitting: a segment is this many symbols; a block never grows beyond the cap, which
// bounds the memory for symbols whatever the input size (a block header costs well under 100
// bytes, so the cap costs nothing measurable).
constexpr std::size_t segmentSymbols = 4096;
constexpr std::size_t maxBlockSymbols = std::size_t(1) << 17;

class Deflater
{
public:
    Deflater(const std::uint8_t* data, std::size_t size, std::vector<std::uint8_t>& out)
        : data(data), size(size), writer(out), head(std::size_t(1) << hashBits, noPosition),
          chain(windowSize, 0)
    {
        symbols.reserve(std::min(maxBlockSymbols, size + 1) + segmentSymbols);
    }

    void run()
    {
        parse();
        if (symbols.size() > blockSymbols)
            closeSegment();
        writeBlock(writer, blockHistogram, symbols.data(), symbols.size(), true);
        writer.finish();
    }

private:
    const std::uint8_t* const data;
    const std::size_t size;
    BitWriter writer;

    // Hash chains: head[h] is the latest position whose next three bytes hash to h, modulo 2^32,
    // and chain[p % windowSize] how far back from p the previous position with the same hash lies
    // (0: none within the window). Small entries keep both arrays (128 and 64 KiB) in the cache
    // while the chains are walked. A chain slot is reused only by the position one window later,
    // which is inserted only after every walk through the old one is over; a step of at least 1
    // makes every walk go strictly backwards.
    //
    // Positions modulo 2^32 are enough because a candidate is only ever a hint: every match is
    // measured on the real bytes, and only distances of 1 to 32768 are followed. On inputs beyond
    // 4 GiB an old entry may alias a position within the window; that costs a comparison, never
    // correctness.
    std::vector<std::uint32_t> head;
    std::vector<std::uint16_t> chain;

    // The symbols of the current block (the first blockSymbols) and of the segment being filled.
    std::vector<Symbol> symbols;
    std::size_t blockSymbols = 0;
    Histogram blockHistogram;
    Histogram segmentHistogram;
    std::uint64_t blockCost = 0; // bits of the current block as it stands

    // Multiplicative hashing of the three bytes at pos (pos + 3 <= size): the product's top bits
    // mix all input bits.
    std::uint32_t hashAt(std::size_t pos) const
    {
        const std::uint32_t v = std::uint32_t(data[pos]) | std::uint32_t(data[pos + 1]) << 8 |
                                std::uint32_t(data[pos + 2]) << 16;
        return (v * 0x9E3779B1u) >> (32 - hashBits);
    }

    void insert(std::size_t pos, std::uint32_t hash)
    {
        const std::uint32_t distance = std::uint32_t(pos) - head[hash];
        chain[pos % windowSize] = distance - 1 < windowSize ? std::uint16_t(distance) : 0;
        head[hash] = std::uint32_t(pos);
    }

    // The number of equal bytes at a and b, at most limit. Eight at a time while they agree.
    static unsigned matchLength(const std::uint8_t* a, const std::uint8_t* b, unsigned limit)
    {
        unsigned n = 0;
        while (n + 8 <= limit)
        {
            std::uint64_t x, y;
            std::memcpy(&x, a + n, 8);
            std::memcpy(&y, b + n, 8);
            if (x != y)
                break;
            n += 8;
        }
        while (n < limit && a[n] == b[n])
            ++n;
        return n;
    }

    static std::uint16_t load16(const std::uint8_t* p)
    {
        std::uint16_t v;
        std::memcpy(&v, p, 2);
        return v;
    }

    struct Match
    {
        unsigned length = 0;
        unsigned distance = 0;
    };

    // The longest match at pos that is longer than `better` (zlib's longest_match), following the
    // chain of pos's hash; pos itself is not inserted yet. Called only with pos + 3 <= size.
    Match findMatch(std::size_t pos, std::uint32_t hash, unsigned better) const
    {
        Match best;
        const unsigned limit = unsigned(std::min<std::size_t>(maxMatch, size - pos));
        if (better >= limit)
            return best;
        const unsigned nice = std::min(niceLength, limit);
        int budget = better >= goodLength ? maxChain / 4 : maxChain;
        unsigned bestLength = better;
        const std::uint8_t* const here = data + pos;
        // distance - 1 < windowSize: 1 to 32768 back; distance <= pos: not before the input.
        for (std::size_t distance = std::uint32_t(pos) - head[hash];
             distance - 1 < windowSize && distance <= pos;)
        {
            const std::size_t candidate = pos - distance;
            const std::uint8_t* const there = data + candidate;
            // Quick rejection (zlib's trick): a longer match must agree at the two bytes that end
            // the best match so far plus one, and at the first two bytes; most candidates fail
            // the first test. bestLength >= 2, candidate < pos and bestLength < limit <= size - pos
            // keep all reads in bounds.
            if (load16(there + bestLength - 1) == load16(here + bestLength - 1) &&
                load16(there) == load16(here))
            {
                const unsigned length = matchLength(there, here, limit);
                if (length > bestLength)
                {
                    bestLength = length;
                    best = {length, unsigned(distance)};
                    if (length >= nice)
                        break;
                }
            }
            if (--budget == 0)
                break;
            const std::size_t step = chain[candidate % windowSize];
            if (step == 0)
                break;
            distance += step;
        }
        return best;
    }

    // LZ77 with lazy evaluation (zlib's deflate_slow): a match found at pos is held back for one
    // step; if the match at pos + 1 is longer, pos goes out as a literal and the longer match is
    // held instead. Every position whose three bytes exist is inserted into the hash chains, also
    // the ones inside matches, so that later matches can start anywhere.
    void parse()
    {
        std::size_t pos = 0;
        bool pending = false; // data[pos - 1] is not written yet; held is the match found there
        Match held;
        while (pos < size)
        {
            Match current;
            if (pos + minMatch <= size)
            {
                const std::uint32_t hash = hashAt(pos);
                if (held.length < maxLazy)
                {
                    current = findMatch(pos, hash, std::max(held.length, minMatch - 1));
                    if (current.length == minMatch && current.distance > tooFar)
                        current = Match();
                }
                insert(pos, hash);
            }
            if (held.length >= minMatch && current.length <= held.length)
            {
                // The held match (from pos - 1) wins. Its first two positions are inserted.
                addMatch(held.length, held.distance);
                const std::size_t end = pos - 1 + held.length;
                for (std::size_t p = pos + 1; p < end; ++p)
                    if (p + minMatch <= size)
                        insert(p, hashAt(p));
                pos = end;
                pending = false;
                held = Match();
            }
            else
            {
                if (pending)
                    addLiteral(data[pos - 1]);
                pending = true;
                held = current;
                ++pos;
            }
        }
        if (pending)
            addLiteral(data[pos - 1]);
    }

    void addLiteral(std::uint8_t byte)
    {
        symbols.push_back({byte, 0});
        ++segmentHistogram.literals[byte];
        if (symbols.size() - blockSymbols == segmentSymbols)
            closeSegment();
    }

    void addMatch(unsigned length, unsigned distance)
    {
        symbols.push_back({std::uint16_t(length), std::uint16_t(distance)});
        ++segmentHistogram.literals[257 + lengthIndex[length]];
        ++segmentHistogram.distances[distanceSymbol(distance)];
        if (symbols.size() - blockSymbols == segmentSymbols)
            closeSegment();
    }

    // Decides whether the segment just filled joins the current block or starts the next one.
    void closeSegment()
    {
        const std::size_t segmentCount = symbols.size() - blockSymbols;
        const std::uint64_t segmentCost = blockBits(segmentHistogram);
        if (blockSymbols == 0)
        {
            blockHistogram = segmentHistogram;
            blockCost = segmentCost;
        }
        else
        {
            Histogram merged = blockHistogram;
            merged.add(segmentHistogram);
            const std::uint64_t mergedCost = blockBits(merged);
            if (mergedCost > blockCost + segmentCost || blockSymbols + segmentCount > maxBlockSymbols)
            {
                writeBlock(writer, blockHistogram, symbols.data(), blockSymbols, false);
                symbols.erase(symbols.begin(), symbols.begin() + std::ptrdiff_t(blockSymbols));
                blockHistogram = segmentHistogram;
                blockCost = segmentCost;
            }
            else
            {
                blockHistogram = merged;
                blockCost = mergedCost;
            }
        }
        blockSymbols = symbols.size();
        segmentHistogram = Histogram();
    }
};

} // namespace

std::vector<std::uint8_t> deflateDynamic(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> out;
    out.reserve(size / 2 + 64);
    Deflater(data, size, out).run();
    return out;
}

std::vector<std::uint8_t> encodeBlock(const std::uint8_t* data, std::size_t size)
{
    constexpr std::size_t headerSize = 12;
    constexpr std::size_t limit = std::numeric_limits<std::uint32_t>::max();
    if (size > limit)
        return {};
    std::vector<std::uint8_t> payload = deflateDynamic(data, size);
    if (payload.size() > limit - headerSize)
        return {};
    std::vector<std::uint8_t> block(headerSize);
    const auto putLe32 = [&block](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            block[at + std::size_t(i)] = std::uint8_t(v >> (8 * i));
    };
    block[0] = 'z';
    block[1] = 'F';
    block[2] = 'E';
    block[3] = 'D';
    putLe32(4, std::uint32_t(size));
    putLe32(8, std::uint32_t(headerSize + payload.size()));
    block.insert(block.end(), payload.begin(), payload.end());
    return block;
}

} // namespace zfed
