// A process-wide slot filled once with a strong reference that is never
// released (the module object, the Container type, the PanicException class).
//
// The filler runs with the interpreter lock held. A thread that finds another
// thread filling the slot waits for it with the interpreter lock released, since
// the filler may need it to finish; if the filler failed, the waiter tries itself.
// A thread ended while filling or waiting (runtime/forced_unwind.hpp) leaves the
// cell as a failed filler does: empty, with its waiters woken.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/capabilities.hpp"
#include "runtime/error_result.hpp"
#include "runtime/forced_unwind.hpp"
#include "runtime/internal_failure.hpp"

namespace quorix {

class OnceCell {
public:
    // The stored object, or null while the cell is empty.
    PyObject* get() const noexcept { return value_.load(std::memory_order_acquire); }

    // `fill` returns Result<OwnedRef>; it may also end in an internal failure.
    template <class Fill>
    Result<PyObject*> get_or_fill(Fill&& fill) {
        if (PyObject* value = get()) {
            return value;
        }
        std::unique_lock<std::mutex> guard(mutex_);
        while (filling_) {
            if (filler_ == std::this_thread::get_id()) {
                // The filler itself asked again: waiting would never end.
                guard.unlock();
                fail_internal("once-per-process initialisation re-entered by its own thread");
            }
            guard.unlock();
            PyThreadState* saved = PyEval_SaveThread();
            guard.lock();
            changed_.wait(guard, [this] { return !filling_; });
            guard.unlock();
            call_interpreter([saved] { PyEval_RestoreThread(saved); });
            guard.lock();
        }
        if (PyObject* value = get()) {
            return value;
        }
        filling_ = true;
        filler_ = std::this_thread::get_id();
        guard.unlock();

        struct EndFilling {
            OnceCell& cell;
            ~EndFilling() {
                std::lock_guard<std::mutex> relock(cell.mutex_);
                cell.filling_ = false;
                cell.filler_ = std::thread::id();
                cell.changed_.notify_all();
            }
        } end_filling{*this};

        Result<OwnedRef> filled = call_interpreter(fill);
        if (!filled.ok()) {
            return std::move(filled).error();
        }
        PyObject* value = std::move(filled).value().release();  // kept for the life of the process
        value_.store(value, std::memory_order_release);
        return value;
    }

private:
    std::atomic<PyObject*> value_{nullptr};
    std::mutex mutex_;
    std::condition_variable changed_;
    bool filling_ = false;
    std::thread::id filler_;
};

}  // namespace quorix
