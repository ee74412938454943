// A counter-based random stream: Philox4x32-10 (Salmon, Moraes, Dror and
// Shaw, "Parallel random numbers: as easy as 1, 2, 3", SC 2011). The block
// with counter c under key k is a fixed function of (k, c), so a chain whose
// key is the seed and whose counter carries the chain's number draws the
// same numbers whichever thread runs it and whatever ran before. Internal:
// not exported, not installed.
#ifndef VLM_PHILOX_H
#define VLM_PHILOX_H

#include <cmath>
#include <cstdint>

#include "../_common/vlm_common.h"

namespace vlm {

// Ten rounds of the Philox4x32 bijection of `ctr` under `key` (the paper's
// multipliers and Weyl key increments).
inline void philox4x32_10(const uint32_t ctr[4], const uint32_t key[2], uint32_t out[4]) {
    constexpr uint64_t M0 = 0xD2511F53u, M1 = 0xCD9E8D57u;
    constexpr uint32_t W0 = 0x9E3779B9u, W1 = 0xBB67AE85u;
    uint32_t c0 = ctr[0], c1 = ctr[1], c2 = ctr[2], c3 = ctr[3];
    uint32_t k0 = key[0], k1 = key[1];
    for (int round = 0; round < 10; ++round) {
        const uint64_t p0 = M0 * c0, p1 = M1 * c2;
        const uint32_t hi0 = static_cast<uint32_t>(p0 >> 32), lo0 = static_cast<uint32_t>(p0);
        const uint32_t hi1 = static_cast<uint32_t>(p1 >> 32), lo1 = static_cast<uint32_t>(p1);
        c0 = hi1 ^ c1 ^ k0;
        c1 = lo1;
        c2 = hi0 ^ c3 ^ k1;
        c3 = lo0;
        k0 += W0;
        k1 += W1;
    }
    out[0] = c0;
    out[1] = c1;
    out[2] = c2;
    out[3] = c3;
}

// The stream of one chain: key = the 64-bit seed, counter = (block number,
// stream number), consumed 32 bits at a time.
class RandomStream {
public:
    RandomStream(uint64_t seed, uint64_t stream) {
        key_[0] = static_cast<uint32_t>(seed);
        key_[1] = static_cast<uint32_t>(seed >> 32);
        ctr_[2] = static_cast<uint32_t>(stream);
        ctr_[3] = static_cast<uint32_t>(stream >> 32);
    }

    uint32_t next_u32() {
        if (used_ == 4) {
            philox4x32_10(ctr_, key_, block_);
            if (++ctr_[0] == 0) ++ctr_[1];
            used_ = 0;
        }
        return block_[used_++];
    }

    // Uniform on [0, 1) with 53 random bits.
    f64 uniform() {
        const uint64_t a = next_u32() >> 5, b = next_u32() >> 6;
        return static_cast<f64>((a << 26) | b) * 0x1p-53;
    }

    // Standard normal by the Box-Muller transform, two at a time.
    f64 normal() {
        if (has_spare_) {
            has_spare_ = false;
            return spare_;
        }
        const f64 u = 1.0 - uniform(), v = uniform();  // u in (0, 1]: log(u) is finite
        const f64 r = std::sqrt(-2.0 * std::log(u)), angle = 6.283185307179586 * v;
        spare_ = r * std::sin(angle);
        has_spare_ = true;
        return r * std::cos(angle);
    }

private:
    uint32_t key_[2] = {0, 0};
    uint32_t ctr_[4] = {0, 0, 0, 0};
    uint32_t block_[4] = {0, 0, 0, 0};
    int used_ = 4;
    f64 spare_ = 0.0;
    bool has_spare_ = false;
};

}  // namespace vlm

#endif  // VLM_PHILOX_H
