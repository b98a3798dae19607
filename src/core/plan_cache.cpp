#include "core/plan_cache.hpp"

#include <algorithm>
#include <utility>

#include "core/seeded_hash.hpp"

namespace quorix::core {

PlanCache::PlanCache(bool by_identity) noexcept : seed_(draw_seed()), by_identity_(by_identity) {}

std::uint64_t PlanCache::hash(RequestedKeys request) const noexcept {
    // Each key's hash covers its length, so the chain tells key boundaries apart.
    std::uint64_t h = seed_ ^ request.size();
    for (const RequestedKey& key : request) {
        h = hash_bytes(key.text, h ^ seed_);
    }
    return h;
}

bool PlanCache::same_request(const KeyList& kept, RequestedKeys request) noexcept {
    return std::equal(kept.begin(), kept.end(), request.begin(), request.end(),
                      [](const KeyText& a, const RequestedKey& b) { return a == b.text; });
}

std::shared_ptr<CompiledOrder> PlanCache::find(RequestedKeys request, std::uint64_t generation) {
    if (generation != generation_) {
        forget();  // compiled against records that may have changed
        generation_ = generation;
        return nullptr;
    }
    if (entries_.empty()) {
        return nullptr;
    }
    const std::uint64_t request_hash = hash(request);
    for (auto entry = entries_.begin(); entry != entries_.end(); ++entry) {
        if ((*entry)->request_hash == request_hash && same_request((*entry)->request, request)) {
            std::rotate(entries_.begin(), entry, entry + 1);
            return entries_.front()->order;
        }
    }
    return nullptr;
}

int PlanCache::visit_references(visitproc visit, void* arg) const noexcept {
    for (const std::unique_ptr<Entry>& entry : entries_) {
        // A slot is empty for a moment while `keep` shifts the entries along.
        if (!entry) {
            continue;
        }
        for (const OwnedRef& object : entry->objects) {
            if (int stop = visit_reference(object, visit, arg)) {
                return stop;
            }
        }
        if (entry->order->compiled.function) {
            if (int stop = visit_references_of(entry->order->compiled.function->function, visit, arg)) {
                return stop;
            }
        }
    }
    return 0;
}

void PlanCache::swap(PlanCache& other) noexcept {
    entries_.swap(other.entries_);
    std::swap(generation_, other.generation_);
    std::swap(seed_, other.seed_);
    std::swap(by_identity_, other.by_identity_);
}

std::shared_ptr<CompiledOrder> PlanCache::keep(RequestedKeys request, CompiledOrder order) {
    auto entry = std::make_unique<Entry>(
        Entry{hash(request), {}, {}, {}, std::make_shared<CompiledOrder>(std::move(order))});
    entry->request.reserve(request.size());
    entry->objects.reserve(request.size());
    entry->keys.reserve(request.size());
    for (const RequestedKey& key : request) {
        entry->request.emplace_back(key.text);
        entry->objects.push_back(by_identity_ ? OwnedRef::share(key.exact_str) : OwnedRef());
    }
    // Only now: a copy's text may move while the copies grow.
    for (std::size_t i = 0; i < request.size(); ++i) {
        entry->keys.push_back(RequestedKey{entry->request[i], entry->objects[i].get(), {}});
    }
    if (entries_.size() < capacity) {
        entries_.push_back(nullptr);
    }
    // The last slot is free or holds the least recently used order.
    std::move_backward(entries_.begin(), entries_.end() - 1, entries_.end());
    entries_.front() = std::move(entry);
    return entries_.front()->order;
}

}  // namespace quorix::core
