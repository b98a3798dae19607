#include "core/seeded_hash.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

#include "python/forced_unwind.hpp"

namespace quorix::core {
namespace {

std::uint64_t splitmix64(std::uint64_t x) noexcept {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Not noexcept, so that the handler below can let a thread's forced unwind on.
QUORIX_CATCHES_FORCED_UNWIND std::uint64_t initial_state() {
    try {
        std::random_device device;
        return (static_cast<std::uint64_t>(device()) << 32) ^ device();
    }
    QUORIX_PASS_FORCED_UNWIND
    catch (...) {
        // No system random source: something that still differs between runs.
        static const int marker = 0;
        return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(&marker)) ^
               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
}

__extension__ typedef unsigned __int128 uint128;

// The 128-bit product folded to 64 bits.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const uint128 product = static_cast<uint128>(a) * b;
    return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
}

inline std::uint64_t read64(const unsigned char* p) noexcept {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

inline std::uint64_t read32(const unsigned char* p) noexcept {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// The last 0 to 7 bytes, read without a variable-length copy: two overlapping
// 4-byte reads, or the first, middle and last byte. Distinct tails of one
// length give distinct values, and the length is mixed in separately.
inline std::uint64_t read_tail(const unsigned char* p, std::size_t n) noexcept {
    if (n >= 4) {
        return (read32(p) << 32) | read32(p + n - 4);
    }
    if (n > 0) {
        return (static_cast<std::uint64_t>(p[0]) << 16) | (static_cast<std::uint64_t>(p[n >> 1]) << 8) | p[n - 1];
    }
    return 0;
}

constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t k2 = 0x8ebc6af09c88c6e3ULL;

}  // namespace

std::uint64_t draw_seed() noexcept {
    static std::atomic<std::uint64_t> state{initial_state()};
    return splitmix64(state.fetch_add(0x9e3779b97f4a7c15ULL, std::memory_order_relaxed));
}

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::uint64_t h = seed ^ fold_multiply(static_cast<std::uint64_t>(n) ^ k0, k1);
    for (; n >= 8; n -= 8, p += 8) {
        h = fold_multiply(h ^ read64(p), k1);
    }
    h = fold_multiply(h ^ read_tail(p, n) ^ k2, k0);
    return fold_multiply(h, seed ^ k2);
}

}  // namespace quorix::core
