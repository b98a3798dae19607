#include "core/published_reads.hpp"

#include <algorithm>
#include <array>

namespace quorix::core {

// Open addressing on the object's address; at most half full.
struct PublishedReads::Table {
    static constexpr std::size_t slots = 128;
    static constexpr std::size_t most = slots / 2;
    struct Entry {
        OwnedRef key;  // held: no other object can take its address meanwhile
        RecordRef record;
    };
    std::array<Entry, slots> entries{};
    std::size_t count = 0;

    static std::size_t home(PyObject* object) noexcept {
        auto x = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(object));
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdULL;
        x ^= x >> 33;
        return static_cast<std::size_t>(x & (slots - 1));
    }
    const Entry* find(PyObject* key) const noexcept {
        for (std::size_t i = home(key);; i = (i + 1) & (slots - 1)) {
            const Entry& entry = entries[i];
            if (entry.key.get() == key || !entry.key) {
                return entry.key ? &entry : nullptr;
            }
        }
    }
    void add(PyObject* key, Provider& record) {
        for (std::size_t i = home(key);; i = (i + 1) & (slots - 1)) {
            Entry& entry = entries[i];
            if (!entry.key) {
                entry.key = OwnedRef::share(key);
                entry.record = RecordRef(&record);
                ++count;
                return;
            }
        }
    }
};

void PublishedReads::DropTable::operator()(Table* table) const noexcept { delete table; }

PublishedReads::~PublishedReads() { release_all(); }

Provider* PublishedReads::find(PyObject* key_object) const noexcept {
    const Table* table = current_.load(std::memory_order_seq_cst);
    if (table == nullptr) {
        return nullptr;
    }
    const Table::Entry* entry = table->find(key_object);
    return entry != nullptr ? entry->record.get() : nullptr;
}

void PublishedReads::publish(PyObject* key_object, Provider& record) {
    Table* old = current_.load(std::memory_order_relaxed);
    if (old != nullptr) {
        if (const Table::Entry* entry = old->find(key_object); entry != nullptr && entry->record.get() == &record) {
            return;
        }
    }
    TableRef table(new Table);
    // A full table starts afresh: the keys resolved lately come back.
    if (old != nullptr && old->count < Table::most) {
        for (const Table::Entry& entry : old->entries) {
            if (entry.key && entry.key.get() != key_object) {
                table->add(entry.key.get(), *entry.record);
            }
        }
    }
    table->add(key_object, record);
    retired_tables_.reserve(retired_tables_.size() + 1);
    current_.store(table.release(), std::memory_order_seq_cst);
    if (old != nullptr) {
        retired_tables_.emplace_back(retire_epoch(), TableRef(old));
    }
}

void PublishedReads::unpublish() {
    Table* old = current_.load(std::memory_order_relaxed);
    if (old == nullptr) {
        return;
    }
    retired_tables_.reserve(retired_tables_.size() + 1);
    current_.store(nullptr, std::memory_order_seq_cst);
    retired_tables_.emplace_back(retire_epoch(), TableRef(old));
}

void PublishedReads::retire(OwnedRef value) {
    if (value) {
        retired_values_.emplace_back(retire_epoch(), std::move(value));
    }
}

namespace {

// Moves the items retired before `oldest` from `retired` to `into`.
template <class Item>
void take_older(std::vector<std::pair<std::uint64_t, Item>>& retired, std::vector<Item>& into, std::uint64_t oldest) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < retired.size(); ++i) {
        if (retired[i].first < oldest) {
            into.push_back(std::move(retired[i].second));
        } else {
            retired[kept++] = std::move(retired[i]);
        }
    }
    retired.resize(kept);
}

}  // namespace

PublishedReads::Reclaimed PublishedReads::take_reclaimable() {
    Reclaimed reclaimed;
    const std::uint64_t oldest = oldest_read();
    reclaimed.tables.reserve(retired_tables_.size());
    reclaimed.values.reserve(retired_values_.size());
    take_older(retired_tables_, reclaimed.tables, oldest);
    take_older(retired_values_, reclaimed.values, oldest);
    return reclaimed;
}

void PublishedReads::swap(PublishedReads& other) noexcept {
    Table* mine = current_.load(std::memory_order_relaxed);
    current_.store(other.current_.load(std::memory_order_relaxed), std::memory_order_seq_cst);
    other.current_.store(mine, std::memory_order_relaxed);
    retired_tables_.swap(other.retired_tables_);
    retired_values_.swap(other.retired_values_);
}

void PublishedReads::release_all() {
    TableRef table(current_.exchange(nullptr, std::memory_order_relaxed));
    auto tables = std::move(retired_tables_);
    auto values = std::move(retired_values_);
}

}  // namespace quorix::core
