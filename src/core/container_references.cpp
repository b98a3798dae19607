// What the cyclic garbage collector sees of a container, and how it empties one.
//
// Only the references kept between calls are shown: what a resolution under
// way holds (its records, its values) belongs to the thread running it, and a
// reference the collector is not shown only keeps its object alive; one it is
// shown that the container does not own would free it early.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include "core/container.hpp"

namespace quorix::core {

template <class Self>
auto ContainerInner::members_of(Self& self) noexcept {
    auto& [compiled, plans, walked_requests, key_memo, providers, overrides, filled_layers, scratch, published,
           generation] = self;
    return std::tie(compiled, plans, walked_requests, key_memo, providers, overrides, filled_layers, scratch,
                    published, generation);
}

namespace {

// How each kind of member takes part in the operations on the whole state:
// `visit_member` shows the collector its strong references, `release_member`
// lets go of them (taking them out of the member first, so the collector,
// which may run during a release, never meets a half-released member),
// `exchange_member` swaps it with another state's, and `forget_stale` drops
// what was made against an old generation.

int visit_member(const ProviderMap& map, visitproc visit, void* arg) noexcept {
    // A record a resolution under way shares is the map's all the same: the
    // map's reference is the one the container owns.
    for (const auto& [key, record] : map) {
        if (int stop = visit_reference(record->callable, visit, arg)) {
            return stop;
        }
        if (int stop = visit_reference(record->cached, visit, arg)) {
            return stop;
        }
    }
    return 0;
}
void release_member(ProviderMap& map) { ProviderMap().swap(map); }
void exchange_member(ProviderMap& a, ProviderMap& b) noexcept { a.swap(b); }
void forget_stale(ProviderMap&) noexcept {}  // records check their links' generation

int visit_member(const std::vector<ProviderMap>& layers, visitproc visit, void* arg) noexcept {
    for (const ProviderMap& layer : layers) {
        if (int stop = visit_member(layer, visit, arg)) {
            return stop;
        }
    }
    return 0;
}
// The layers from the bottom up, then the list of them.
void release_member(std::vector<ProviderMap>& layers) {
    for (ProviderMap& layer : layers) {
        release_member(layer);
    }
    std::vector<ProviderMap>().swap(layers);
}
void exchange_member(std::vector<ProviderMap>& a, std::vector<ProviderMap>& b) noexcept { a.swap(b); }
void forget_stale(std::vector<ProviderMap>&) noexcept {}

// Plain data: no references.
int visit_member(const std::vector<std::size_t>&, visitproc, void*) noexcept { return 0; }
void release_member(std::vector<std::size_t>&) noexcept {}
void exchange_member(std::vector<std::size_t>& a, std::vector<std::size_t>& b) noexcept { a.swap(b); }
void forget_stale(std::vector<std::size_t>&) noexcept {}

// Holds no references, and only while a walk is laid out.
int visit_member(const ResolutionScratch&, visitproc, void*) noexcept { return 0; }
void release_member(ResolutionScratch&) noexcept {}
void exchange_member(ResolutionScratch& a, ResolutionScratch& b) noexcept { std::swap(a.levels, b.levels); }
void forget_stale(ResolutionScratch&) noexcept {}

int visit_member(const PlanCache& plans, visitproc visit, void* arg) noexcept {
    return plans.visit_references(visit, arg);
}
void release_member(PlanCache& plans) { plans.forget(); }
void exchange_member(PlanCache& a, PlanCache& b) noexcept { a.swap(b); }
void forget_stale(PlanCache& plans) { plans.forget(); }

int visit_member(const KeyMemo& memo, visitproc visit, void* arg) noexcept { return memo.visit_references(visit, arg); }
// Its `str`s go with it, after the records: releasing one runs no Python
// code, and emptying its fixed table first would cost a container's making
// and dropping half as much again.
void release_member(KeyMemo&) noexcept {}
void exchange_member(KeyMemo& a, KeyMemo& b) noexcept { a.swap(b); }
void forget_stale(KeyMemo&) noexcept {}  // each entry answers only in its own generation

int visit_member(const CompiledResolutions& compiled, visitproc visit, void* arg) noexcept {
    return compiled.visit_references(visit, arg);
}
void release_member(CompiledResolutions& compiled) { compiled.clear(); }
void exchange_member(CompiledResolutions& a, CompiledResolutions& b) noexcept { a.swap(b); }
void forget_stale(CompiledResolutions& compiled) { compiled.clear(); }

// Holds what the maps and records hold too, or what only reads under way
// still see: the container's own references are shown through those.
int visit_member(const PublishedReads&, visitproc, void*) noexcept { return 0; }
void release_member(PublishedReads& published) { published.release_all(); }
void exchange_member(PublishedReads& a, PublishedReads& b) noexcept { a.swap(b); }
void forget_stale(PublishedReads& published) { published.unpublish(); }

int visit_member(const Generation&, visitproc, void*) noexcept { return 0; }
void release_member(Generation&) noexcept {}
// Both move past every generation either has seen, so no link, order or
// remembered key made against one state answers in the other.
void exchange_member(Generation& a, Generation& b) noexcept {
    const std::uint64_t next = std::max(a.value, b.value) + 1;
    a.value = next;
    b.value = next;
}
void forget_stale(Generation&) noexcept {}  // advance_generation moves it first

// `each(member)` for every member of `members`, in order.
template <class Members, class Each>
void for_each_member(Members members, Each&& each) {
    std::apply([&each](auto&... member) { (each(member), ...); }, members);
}

}  // namespace

ContainerInner::~ContainerInner() {
    for_each_member(members_of(*this), [](auto& member) { release_member(member); });
}

int ContainerInner::visit_references(visitproc visit, void* arg) const noexcept {
    int stop = 0;
    // Stops at the first member whose visit stops.
    std::apply([&](const auto&... member) { (void)(((stop = visit_member(member, visit, arg)) != 0) || ...); },
               members_of(*this));
    return stop;
}

void ContainerInner::swap_state(ContainerInner& other) noexcept {
    auto mine = members_of(*this);
    auto theirs = members_of(other);
    [&]<std::size_t... index>(std::index_sequence<index...>) {
        (exchange_member(std::get<index>(mine), std::get<index>(theirs)), ...);
    }(std::make_index_sequence<std::tuple_size_v<decltype(mine)>>());
}

void ContainerInner::advance_generation() {
    // First: from here on nothing made against the old state answers, even
    // while what was made is being released.
    ++generation_.value;
    for_each_member(members_of(*this), [](auto& member) { forget_stale(member); });
}

void Container::clear_for_collector() {
    if (!try_acquire()) {
        return;
    }
    ContainerInner released;
    inner_.swap_state(released);
    release();
    // `released` goes here, after the lock: whatever its finalizers do with
    // this container, they find it empty.
}

}  // namespace quorix::core
