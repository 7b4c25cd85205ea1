// The faults a connection's replies suffer on request: the counted ones of
// the command line (--drop, --dup, --stall-after, --close-after, --mangle,
// --order), the seeded random ones of --chaos, and the byte-level damage of
// --chaos-bytes.  They let the client's tests provoke every way a real
// device or network can misbehave.
#ifndef TAVIK_DEVICE_FAULTS_H
#define TAVIK_DEVICE_FAULTS_H

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "options.h"
#include "protocol.h"

namespace device {

// Whether a request gets a reply at all, decided from its number alone.
enum class Admission { Answer, Stall, Drop, Close };

// What happens to one built reply on its way out.
struct ReplyFate {
    bool lost = false;             // never sent
    bool closeConnection = false;  // close (after what is queued) instead
    int copies = 1;
    bool swapWithNext = false;     // goes out right after the next reply
    Micros holdFor = 0;            // extra wait when it is due
    uint64_t pieceSeed = 0;        // non-zero: sent in random small pieces
};

// A number in [0, bound).  The slight bias of the modulo does not matter
// here, and unlike std::uniform_int_distribution it draws the same numbers
// with every standard library, so seeds stay repeatable.
inline uint64_t randomBelow(std::mt19937_64 &rng, uint64_t bound)
{
    return rng() % bound;
}

class FaultPlan {
public:
    FaultPlan(const Options &options, uint64_t connection);

    Admission admit(uint64_t number) const;

    // Applies --mangle, --dup and chaos to the finished reply `number`.
    // Must be called in arrival order: chaos draws its numbers here, which
    // keeps a seeded session repeatable whatever the timing.
    ReplyFate shape(uint64_t number, RequestKind kind, std::vector<char> &reply);

    // Puts replies that are released together into the --order asked for.
    template <class T>
    void arrange(std::vector<T> &batch);

private:
    void applyMangles(uint64_t number, RequestKind kind, std::vector<char> &reply) const;
    void applyChaos(uint64_t number, RequestKind kind, std::vector<char> &reply,
                    ReplyFate &fate);
    void overwriteRandomField(uint64_t number, RequestKind kind, std::vector<char> &reply);
    void cutRandomly(uint64_t number, std::vector<char> &reply);
    bool chaosStrikes();
    void damageBytes(uint64_t number, std::vector<char> &reply) const;

    const Options &options_;
    uint64_t connection_;
    std::mt19937_64 orderRng_;
    std::mt19937_64 chaosRng_;
    bool strikes_;  // within --fault-connections: the faults apply here
};

template <class T>
void FaultPlan::arrange(std::vector<T> &batch)
{
    switch (options_.order) {
    case ReplyOrder::Arrival:
        return;
    case ReplyOrder::Reverse:
        std::reverse(batch.begin(), batch.end());
        return;
    case ReplyOrder::Shuffle:
        // Fisher-Yates with our own draw, so a seed means the same order
        // everywhere.
        for (size_t i = batch.size(); i > 1; --i)
            std::swap(batch[i - 1], batch[randomBelow(orderRng_, i)]);
        return;
    }
}

}  // namespace device

#endif
