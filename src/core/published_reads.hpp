// What reads without the container's lock find, on builds where they need
// their own guard (no interpreter lock): for the exact `str` keys resolved
// lately, the key's effective record, whose cached value such a read answers.
//
// A table is immutable once published; a change makes a new one. The registry
// moving on unpublishes it, so a read finds only records that were effective
// when it began. What a read may still be looking at (a table, the records it
// holds, a cached value `set_cached` replaced) is retired, not released
// (core/read_sections.hpp), and released once no read can see it, by the
// thread that changed the container, after the lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "core/provider.hpp"
#include "core/read_sections.hpp"
#include "runtime/ref.hpp"

namespace quorix::core {

class PublishedReads {
public:
    struct Table;
    struct DropTable {
        void operator()(Table* table) const noexcept;
    };
    using TableRef = std::unique_ptr<Table, DropTable>;
    // What can be released now: let go of after the lock.
    struct Reclaimed {
        std::vector<TableRef> tables;
        std::vector<OwnedRef> values;
    };

    PublishedReads() noexcept = default;
    PublishedReads(const PublishedReads&) = delete;
    PublishedReads& operator=(const PublishedReads&) = delete;
    ~PublishedReads();

    // With no lock, inside a ReadSection: the record published for the key
    // object, or null.
    Provider* find(PyObject* key_object) const noexcept;

    // The rest under the container's lock.
    // Publishes `record` as the effective record of the exact `str` key object.
    void publish(PyObject* key_object, Provider& record);
    // Nothing published answers any more.
    void unpublish();
    void retire(OwnedRef value);
    bool has_retired() const noexcept { return !retired_tables_.empty() || !retired_values_.empty(); }
    // Takes out what no read under way can see.
    Reclaimed take_reclaimable();

    void swap(PublishedReads& other) noexcept;
    // Releases everything at once: only where no read can be under way (the
    // container is being destroyed, or cleared by the collector, which stops
    // every other thread).
    void release_all();

private:
    std::atomic<Table*> current_{nullptr};
    std::vector<std::pair<std::uint64_t, TableRef>> retired_tables_;
    std::vector<std::pair<std::uint64_t, OwnedRef>> retired_values_;
};

}  // namespace quorix::core
