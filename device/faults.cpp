#include "faults.h"

#include <climits>
#include <cstddef>

#include "util.h"

namespace device {

namespace {

// A chaos hold outlasts the client's 3 s reply timeout.
constexpr Micros kChaosHold = 3500 * kMicrosPerMilli;

// The value as the field holds it: 16-bit header fields and the 32-bit
// addresses unsigned, payload integers signed.
int64_t asStored(const ReplyField &spot, int64_t value)
{
    if (spot.width == 2)
        return static_cast<u16>(value);
    if (spot.bigEndian)
        return static_cast<u32>(value);
    return static_cast<i32>(static_cast<u32>(value));
}

int64_t readField(const std::vector<char> &reply, const ReplyField &spot)
{
    const char *at = reply.data() + spot.at;
    if (spot.width == 2)
        return loadBe16(at);
    return asStored(spot, spot.bigEndian ? loadBe32(at) : loadLe32(at));
}

// False when the field lies beyond a payload already cut short.
bool writeField(std::vector<char> &reply, const ReplyField &spot, int64_t value)
{
    if (spot.at + spot.width > reply.size())
        return false;
    char *at = reply.data() + spot.at;
    u32 bits = static_cast<u32>(value);
    if (spot.width == 2)
        storeBe16(at, bits);
    else if (spot.bigEndian)
        storeBe32(at, bits);
    else
        storeLe32(at, bits);
    return true;
}

// Cuts the payload to `length` bytes (never grows it); msgSize follows
// unless told not to, for a reply that lies about its own size.
bool cutPayload(std::vector<char> &reply, size_t length, bool msgSizeFollows)
{
    if (length >= reply.size() - kHeaderSize)
        return false;
    reply.resize(kHeaderSize + length);
    if (msgSizeFollows)
        storeBe16(reply.data() + kMsgSizeAt, static_cast<u32>(reply.size()));
    return true;
}

// splitmix64: spreads a seed and a connection number over all 64 bits, so
// neighbouring connections get unrelated streams.
uint64_t mixSeed(uint64_t seed, uint64_t connection)
{
    auto mix = [](uint64_t x) {
        x += 0x9e3779b97f4a7c15ULL;
        x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
        x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
        return x ^ (x >> 31);
    };
    return mix(seed ^ mix(connection));
}

enum class ChaosFault { Overwrite, Cut, Pieces, Twice, Swap, Drop, Close, Hold };

struct WeightedFault {
    ChaosFault fault;
    unsigned weight;
};

// A hold costs the client a whole reply timeout, so it is rare.
const WeightedFault kChaosFaults[] = {
    {ChaosFault::Overwrite, 20}, {ChaosFault::Cut, 20},  {ChaosFault::Pieces, 20},
    {ChaosFault::Twice, 20},     {ChaosFault::Swap, 20}, {ChaosFault::Drop, 20},
    {ChaosFault::Close, 20},     {ChaosFault::Hold, 1},
};

ChaosFault pickFault(std::mt19937_64 &rng)
{
    unsigned total = 0;
    for (const WeightedFault &entry : kChaosFaults)
        total += entry.weight;
    uint64_t ticket = randomBelow(rng, total);
    for (const WeightedFault &entry : kChaosFaults) {
        if (ticket < entry.weight)
            return entry.fault;
        ticket -= entry.weight;
    }
    return ChaosFault::Overwrite;
}

// --chaos-bytes: what a broken link or firmware does to a reply after it
// was framed, so that its msgSize no longer says where it ends.
enum class ByteDamage { Insert, Delete, Duplicate };

ByteDamage pickDamage(std::mt19937_64 &rng)
{
    const ByteDamage kinds[] = {ByteDamage::Insert, ByteDamage::Delete, ByteDamage::Duplicate};
    return kinds[randomBelow(rng, 3)];
}

// Where damage starts in a reply of `size` bytes: before a byte, or for an
// insertion also behind the last.  The header and the record's numbers are
// few bytes next to a block of data, yet where a client is most easily
// misled, so each gets a share of the draws.
size_t damageSpot(std::mt19937_64 &rng, size_t size, bool insertion)
{
    size_t positions = size + (insertion ? 1 : 0);
    constexpr size_t kNumbersAt = kHeaderSize + KX_FILE_TAVIK_NAME_LEN;
    switch (randomBelow(rng, 4)) {
    case 0:
        return randomBelow(rng, std::min(positions, kHeaderSize));
    case 1:
        if (positions > kNumbersAt)
            return kNumbersAt + randomBelow(rng, std::min<size_t>(positions - kNumbersAt, 20));
        return randomBelow(rng, positions);
    default:
        return randomBelow(rng, positions);
    }
}

// Mostly a few bytes; now and then enough to shift whole fields or blocks.
size_t damageSpan(std::mt19937_64 &rng)
{
    if (randomBelow(rng, 4) == 0)
        return 1 + randomBelow(rng, 1500);
    return 1 + randomBelow(rng, 8);
}

}  // namespace

FaultPlan::FaultPlan(const Options &options, uint64_t connection)
    : options_(options),
      connection_(connection),
      orderRng_(mixSeed(options.shuffleSeed, connection)),
      chaosRng_(mixSeed(options.chaosSeed.value_or(0), connection)),
      strikes_(!options.faultConnections || connection <= *options.faultConnections)
{
}

Admission FaultPlan::admit(uint64_t number) const
{
    if (!strikes_)
        return Admission::Answer;
    if (options_.closeAfter && number > *options_.closeAfter)
        return Admission::Close;
    if (options_.stallAfter && number > *options_.stallAfter)
        return Admission::Stall;
    if (options_.dropRequests.count(number))
        return Admission::Drop;
    return Admission::Answer;
}

ReplyFate FaultPlan::shape(uint64_t number, RequestKind kind, std::vector<char> &reply)
{
    ReplyFate fate;
    if (!strikes_)
        return fate;
    if (!options_.mangles.empty())
        applyMangles(number, kind, reply);
    if (options_.dupReplies.count(number))
        fate.copies = 2;
    if (options_.chaosSeed)
        applyChaos(number, kind, reply, fate);
    // Last: the link damages what the device framed, mangles and all.
    if (options_.chaosBytesSeed)
        damageBytes(number, reply);
    return fate;
}

void FaultPlan::damageBytes(uint64_t number, std::vector<char> &reply) const
{
    // Drawn afresh for each reply, so its damage depends on the seed, the
    // connection and the reply number alone.
    std::mt19937_64 rng(mixSeed(mixSeed(*options_.chaosBytesSeed, connection_), number));
    if (static_cast<double>(rng() >> 11) * 0x1.0p-53 >= options_.chaosRate)
        return;
    ByteDamage damage = reply.empty() ? ByteDamage::Insert : pickDamage(rng);
    size_t at = damageSpot(rng, reply.size(), damage == ByteDamage::Insert);
    size_t span = damageSpan(rng);
    const char *what = "insert";
    auto where = reply.begin() + static_cast<std::ptrdiff_t>(at);
    if (damage == ByteDamage::Insert) {
        std::vector<char> noise(span);
        for (char &byte : noise)
            byte = static_cast<char>(rng());
        reply.insert(where, noise.begin(), noise.end());
    } else {
        span = std::min(span, reply.size() - at);
        auto end = where + static_cast<std::ptrdiff_t>(span);
        if (damage == ByteDamage::Delete) {
            what = "delete";
            reply.erase(where, end);
        } else {
            what = "dup";
            std::vector<char> copy(where, end);
            reply.insert(reply.begin() + static_cast<std::ptrdiff_t>(at + span), copy.begin(),
                         copy.end());
        }
    }
    logVerbose("conn %llu chaos-bytes: %s %zu at %zu on reply %llu",
               static_cast<unsigned long long>(connection_), what, span, at,
               static_cast<unsigned long long>(number));
}

void FaultPlan::applyMangles(uint64_t number, RequestKind kind, std::vector<char> &reply) const
{
    auto applies = [number](const Mangle &m) { return m.reply == 0 || m.reply == number; };
    // Cuts first, so that an explicit msgSize mangle has the last word.
    for (const Mangle &m : options_.mangles)
        if (applies(m) && m.field == "payload" &&
            cutPayload(reply, static_cast<size_t>(m.value), true))
            logVerbose("conn %llu mangle: payload=%lld on reply %llu",
                       static_cast<unsigned long long>(connection_),
                       static_cast<long long>(m.value), static_cast<unsigned long long>(number));
    for (const Mangle &m : options_.mangles) {
        if (!applies(m) || m.field == "payload")
            continue;
        const ReplyField *spot = findReplyField(m.field, kind);
        if (spot && writeField(reply, *spot, m.value))
            logVerbose("conn %llu mangle: %s=%lld on reply %llu",
                       static_cast<unsigned long long>(connection_), spot->name,
                       static_cast<long long>(asStored(*spot, m.value)),
                       static_cast<unsigned long long>(number));
    }
}

bool FaultPlan::chaosStrikes()
{
    // 53 random bits make a uniform double in [0, 1).
    double draw = static_cast<double>(chaosRng_() >> 11) * 0x1.0p-53;
    return draw < options_.chaosRate;
}

void FaultPlan::applyChaos(uint64_t number, RequestKind kind, std::vector<char> &reply,
                           ReplyFate &fate)
{
    if (!chaosStrikes())
        return;
    unsigned long long conn = connection_;
    unsigned long long n = number;
    switch (pickFault(chaosRng_)) {
    case ChaosFault::Overwrite:
        overwriteRandomField(number, kind, reply);
        return;
    case ChaosFault::Cut:
        cutRandomly(number, reply);
        return;
    case ChaosFault::Pieces:
        fate.pieceSeed = chaosRng_() | 1;
        logVerbose("conn %llu chaos: pieces on reply %llu", conn, n);
        return;
    case ChaosFault::Twice:
        fate.copies = 2;
        logVerbose("conn %llu chaos: dup on reply %llu", conn, n);
        return;
    case ChaosFault::Swap:
        fate.swapWithNext = true;
        logVerbose("conn %llu chaos: swap on reply %llu", conn, n);
        return;
    case ChaosFault::Drop:
        fate.lost = true;
        logVerbose("conn %llu chaos: drop on reply %llu", conn, n);
        return;
    case ChaosFault::Close:
        fate.closeConnection = true;
        logVerbose("conn %llu chaos: close on reply %llu", conn, n);
        return;
    case ChaosFault::Hold:
        fate.holdFor = kChaosHold;
        logVerbose("conn %llu chaos: hold %lld ms on reply %llu", conn,
                   static_cast<long long>(kChaosHold / kMicrosPerMilli), n);
        return;
    }
}

void FaultPlan::overwriteRandomField(uint64_t number, RequestKind kind, std::vector<char> &reply)
{
    std::vector<const ReplyField *> fields = replyFields(kind);
    const ReplyField &spot = *fields[randomBelow(chaosRng_, fields.size())];
    // Boundary values and near misses find more bugs than random ones alone.
    int64_t right = readField(reply, spot);
    const int64_t choices[] = {
        0, -1, 1, INT32_MAX, INT32_MIN, right + 1, right - 1, static_cast<u32>(chaosRng_()),
    };
    int64_t value = choices[randomBelow(chaosRng_, sizeof choices / sizeof choices[0])];
    writeField(reply, spot, value);
    logVerbose("conn %llu chaos: %s=%lld on reply %llu",
               static_cast<unsigned long long>(connection_), spot.name,
               static_cast<long long>(asStored(spot, value)),
               static_cast<unsigned long long>(number));
}

void FaultPlan::cutRandomly(uint64_t number, std::vector<char> &reply)
{
    size_t payload = reply.size() - kHeaderSize;
    if (payload == 0)  // a mangle already cut it all
        return;
    size_t length = randomBelow(chaosRng_, payload);
    bool msgSizeFollows = randomBelow(chaosRng_, 4) != 0;
    cutPayload(reply, length, msgSizeFollows);
    logVerbose("conn %llu chaos: payload=%zu%s on reply %llu",
               static_cast<unsigned long long>(connection_), length,
               msgSizeFollows ? "" : " (msgSize kept)", static_cast<unsigned long long>(number));
}

}  // namespace device
