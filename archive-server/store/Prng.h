// The demo generator's own random source: the same seed gives the same
// archive on every run and every standard library (std::random_device and
// the standard distributions are not reproducible across implementations).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqarchive {

class Prng {
public:
    explicit Prng(uint64_t seed) {
        // splitmix64 spreads any seed, 0 included, over the whole state.
        for (auto& s : state_) {
            seed += 0x9E3779B97F4A7C15ull;
            uint64_t z = seed;
            z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
            z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
            s = z ^ (z >> 31);
        }
    }

    // xoshiro256**
    uint64_t next() {
        const uint64_t result = rotl(state_[1] * 5, 7) * 9;
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    // Uniform in [0, n); n == 0 gives 0.
    uint64_t below(uint64_t n) {
        if (n == 0)
            return 0;
        // Rejection keeps the distribution exact.
        const uint64_t limit = UINT64_MAX - UINT64_MAX % n;
        uint64_t v;
        do {
            v = next();
        } while (v >= limit);
        return v % n;
    }

    // Uniform in [lo, hi].
    int64_t range(int64_t lo, int64_t hi) {
        if (hi <= lo)
            return lo;
        return lo + static_cast<int64_t>(below(static_cast<uint64_t>(hi - lo) + 1));
    }

    // Uniform in [0, 1).
    double real() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

    double real(double lo, double hi) { return lo + (hi - lo) * real(); }

    bool chance(double p) { return real() < p; }

    template <typename T> const T& pick(const std::vector<T>& v) { return v[below(v.size())]; }

    // A fork gives an independent stream, so that adding draws in one part
    // of the generator does not change another part's output.
    Prng fork(uint64_t salt) { return Prng(next() ^ (salt * 0xD1B54A32D192ED03ull)); }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t state_[4];
};

// FNV-1a over the bytes, for content-addressed file names.
inline uint64_t contentHash(const std::vector<uint8_t>& bytes) {
    uint64_t h = 0xCBF29CE484222325ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 0x100000001B3ull;
    }
    return h;
}

inline std::string hex64(uint64_t v) {
    static const char digits[] = "0123456789abcdef";
    std::string s(16, '0');
    for (int i = 15; i >= 0; --i) {
        s[static_cast<size_t>(i)] = digits[v & 0xF];
        v >>= 4;
    }
    return s;
}

} // namespace vqarchive
