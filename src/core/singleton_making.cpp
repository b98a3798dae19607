// Singletons made once per record, with the providers run outside the lock.
//
// The first thread that needs a singleton without a value becomes its maker
// (the record names it) and runs the provider; any other thread that needs it
// meanwhile waits, the interpreter lock released, until that making ends, then
// takes the value or, if the maker failed, its own turn. The waits take part
// in the deadlock check (core/deadlock_detection.hpp), the maker standing for
// the holder, so two threads that each make a singleton the other one needs
// are refused rather than left waiting for ever.
#include <chrono>
#include <string>

#include "core/container.hpp"
#include "core/deadlock_detection.hpp"
#include "core/fork_safety.hpp"
#include "runtime/interpreter_finalizing.hpp"
#include "runtime/forced_unwind.hpp"

namespace quorix::core {
namespace {

// As for the lock: a signal handler runs promptly while a thread waits.
constexpr std::chrono::milliseconds making_slice{5};

ErrorResult making_error(const Provider& record, const char* before, const char* after) {
    std::string message = before;
    message += record.key;
    message += after;
    return ErrorResult::deferred(PyExc_RuntimeError, std::move(message));
}

}  // namespace

Result<OwnedRef> Container::take_making_turn(Provider& record) {
    const std::thread::id self = std::this_thread::get_id();
    for (;;) {
        std::uint64_t seen = 0;
        bool wait = false;
        QUORIX_LET(value, locked([&](ContainerInner&) -> Result<OwnedRef> {
            if (record.cached) {
                return record.cached.clone();
            }
            const std::thread::id maker = record.making.maker.load(std::memory_order_relaxed);
            if (maker == std::thread::id()) {
                record.making.forks_seen = forks_so_far();
                record.making.maker.store(self, std::memory_order_relaxed);
                return OwnedRef();
            }
            if (maker == self) {
                // Only a path the layout could not see leads here (a
                // finalizer run by this thread's own making): a cycle all the same.
                return cycle_error(record.key);
            }
            if (record.making.forks_seen != forks_so_far()) {
                return making_error(record, "Singleton for key '",
                                    "' was being made by another thread when the process forked; it cannot be "
                                    "made in this process");
            }
            seen = makings_ended_.load(std::memory_order_relaxed);
            wait = true;
            return OwnedRef();
        }));
        if (!wait) {
            return value;
        }
        QUORIX_TRY(wait_for_maker(record, seen));
    }
}

Status Container::wait_for_maker(Provider& record, std::uint64_t seen) {
    LockWait wait(record.making.maker);
    const std::uint64_t forks = forks_so_far();
    for (;;) {
        // Code run inside the wait may have forked: the caller looks again,
        // and a child finds the maker gone.
        if (forks_so_far() != forks) {
            return success();
        }
        if (!wait.may_wait()) {
            return making_error(record, "Deadlock detected: the singleton for key '",
                                "' is being made by a thread that is waiting for the calling thread");
        }
        if (interpreter_finalizing()) {
            // Its maker is another thread, and no other thread runs again.
            return making_error(record, "Singleton for key '",
                                "' is being made by another thread, which cannot finish while the interpreter "
                                "is finalizing");
        }
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> asleep(making_mutex_);
            making_ended_.wait_for(asleep, making_slice,
                                   [&] { return makings_ended_.load(std::memory_order_relaxed) != seen; });
        }
        call_interpreter([saved] { PyEval_RestoreThread(saved); });
        if (makings_ended_.load(std::memory_order_relaxed) != seen) {
            return success();
        }
        if (call_interpreter([] { return PyErr_CheckSignals(); }) < 0) {
            return take_current_exception();
        }
    }
}

Status Container::keep_made(Provider& record, BorrowedRef value) {
    return locked([&](ContainerInner&) -> Status {
        if (!record.cached) {
            OwnedRef empty = record.cached.exchange(OwnedRef::share(value));
        }
        return success();
    });
}

void Container::end_making(Provider& record) noexcept {
    // Only the maker writes the slot while it names it.
    record.making.maker.store(std::thread::id(), std::memory_order_relaxed);
    {
        std::lock_guard<std::mutex> guard(making_mutex_);
        makings_ended_.fetch_add(1, std::memory_order_relaxed);
    }
    making_ended_.notify_all();
}

}  // namespace quorix::core
