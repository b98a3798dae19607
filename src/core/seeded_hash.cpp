#include "core/seeded_hash.hpp"

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>

#include "runtime/forced_unwind.hpp"

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

constexpr std::uint64_t k0 = 0xa0761d6478bd642fULL;
constexpr std::uint64_t k1 = 0xe7037ed1a0b428dbULL;
constexpr std::uint64_t k2 = 0x8ebc6af09c88c6e3ULL;

struct Product128 {
    std::uint64_t high;
    std::uint64_t low;
};

// The full product from four 32-bit partial products, for compilers without a
// 128-bit integer (MSVC, 32-bit targets). The middle sum cannot overflow: at
// most (2^32-1)^2 + 2 * (2^32-1) = 2^64-1.
constexpr Product128 multiply_by_halves(std::uint64_t a, std::uint64_t b) noexcept {
    constexpr std::uint64_t mask = 0xffffffffULL;
    const std::uint64_t lo_lo = (a & mask) * (b & mask);
    const std::uint64_t hi_lo = (a >> 32) * (b & mask);
    const std::uint64_t lo_hi = (a & mask) * (b >> 32);
    const std::uint64_t hi_hi = (a >> 32) * (b >> 32);
    const std::uint64_t middle = (lo_lo >> 32) + (hi_lo & mask) + lo_hi;
    return {hi_hi + (hi_lo >> 32) + (middle >> 32), (middle << 32) | (lo_lo & mask)};
}
static_assert(multiply_by_halves(~0ULL, ~0ULL).high == ~0ULL - 1 && multiply_by_halves(~0ULL, ~0ULL).low == 1);
static_assert(multiply_by_halves(1ULL << 32, 1ULL << 32).high == 1 && multiply_by_halves(1ULL << 32, 1ULL << 32).low == 0);

#if defined(__SIZEOF_INT128__)
__extension__ typedef unsigned __int128 uint128;

constexpr Product128 multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const uint128 product = static_cast<uint128>(a) * b;
    return {static_cast<std::uint64_t>(product >> 64), static_cast<std::uint64_t>(product)};
}
// Both forms must hash alike, or a build would differ by compiler.
static_assert(multiply(k0, k1).high == multiply_by_halves(k0, k1).high &&
              multiply(k0, k1).low == multiply_by_halves(k0, k1).low);
static_assert(multiply(k2, ~0ULL).high == multiply_by_halves(k2, ~0ULL).high &&
              multiply(k2, ~0ULL).low == multiply_by_halves(k2, ~0ULL).low);
#else
constexpr Product128 multiply(std::uint64_t a, std::uint64_t b) noexcept { return multiply_by_halves(a, b); }
#endif

// The 128-bit product folded to 64 bits.
inline std::uint64_t fold_multiply(std::uint64_t a, std::uint64_t b) noexcept {
    const Product128 product = multiply(a, b);
    return product.low ^ product.high;
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
