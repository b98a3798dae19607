// Internal failures: the module's own faults (a poisoned container lock, an
// interpreter call that fails where there is no error path, a PanicException
// taken up from Python code). They are not results: they unwind as a C++
// exception, running every clean-up on the way, until an entry guard turns
// them into a PanicException.
#pragma once

#include <exception>
#include <string>

namespace quorix {

class InternalFailure final : public std::exception {
public:
    explicit InternalFailure(std::string message) : message_(std::move(message)) {}
    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

// Writes the standard-error report of a new internal failure, then unwinds.
[[noreturn]] void fail_internal(std::string message);

// Unwinds without a report of its own (the caller already wrote one).
[[noreturn]] void resume_internal_failure(std::string message);

// The interpreter could not create an object the module needs: print the
// pending exception, then fail with "Python API call failed".
[[noreturn]] void fail_python_api_call();

// Raising an exception at an entry failed: nothing sound is left to do.
[[noreturn]] void abort_uncaught_panic() noexcept;

}  // namespace quorix
