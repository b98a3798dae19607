// Keyed hashing for every map and set of the core.
//
// Each map or set draws a seed of its own when it is created, so neither the
// walk order of a map nor the cost of its lookups can be predicted from outside;
// no result of the core depends on the order in which a map is walked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorix::core {

// A fresh random seed: a splitmix64 stream started once per process from the
// system's random source, so drawing one costs no system call.
std::uint64_t draw_seed() noexcept;

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) noexcept;

class SeededHash {
public:
    using is_transparent = void;  // look up with string_view, store std::string

    SeededHash() noexcept : seed_(draw_seed()) {}
    std::size_t operator()(std::string_view key) const noexcept {
        return static_cast<std::size_t>(hash_bytes(key, seed_));
    }
    std::size_t operator()(const std::string& key) const noexcept { return (*this)(std::string_view(key)); }

private:
    std::uint64_t seed_;
};

}  // namespace quorix::core

#if defined(__GLIBCXX__)
// libstdc++ keeps a node's hash code only for hashes it deems slow. Without it,
// a lookup that meets another key in its bucket hashes that key again to find
// where the bucket ends; with it, a lookup hashes only the key it is given and
// compares stored codes before texts. (libc++ and MSVC always keep the code.)
template <>
struct std::__is_fast_hash<quorix::core::SeededHash> : std::false_type {};
#endif

