// The generator behind simulated responses. Each row draws from a generator of its own,
// seeded from (seed, row) alone, so that a row's draws depend on the seed and on the row's
// position in the data, never on the thread count, the block size or the chunking of a
// streamed source.
//
// The generator is xoshiro256** (64-bit output, period 2^256 - 1); its state is filled
// from the seed and the row by splitmix64, which never leaves it all zero. It satisfies
// the standard uniform random bit generator interface, so the standard library's
// distributions draw from it.
#pragma once

#include <cstdint>

namespace velkan::families {

class RowRandom {
 public:
  using result_type = std::uint64_t;

  RowRandom(std::uint64_t seed, std::uint64_t row) {
    std::uint64_t x = seed ^ (row * 0xD1B54A32D192ED03ULL);
    for (auto& s : state_) s = splitmix(x);
  }

  static constexpr result_type min() { return 0; }
  static constexpr result_type max() { return ~result_type{0}; }

  result_type operator()() {
    const std::uint64_t out = rotl(state_[1] * 5, 7) * 9;
    const std::uint64_t t = state_[1] << 17;
    state_[2] ^= state_[0];
    state_[3] ^= state_[1];
    state_[1] ^= state_[2];
    state_[0] ^= state_[3];
    state_[2] ^= t;
    state_[3] = rotl(state_[3], 45);
    return out;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t splitmix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }

  std::uint64_t state_[4];
};

}  // namespace velkan::families
