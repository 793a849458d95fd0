#pragma once
// A fatal internal failure: a broken invariant, not a bad input. It travels as a C++
// exception from wherever it is detected (the calling thread or a pool worker) to the
// module surface, which reports it and raises it in Python as PanicException.

#include <exception>
#include <source_location>
#include <string>

namespace kernels {

class FatalError : public std::exception {
public:
    FatalError(std::string message, std::source_location where)
        : message_(std::move(message)), where_(where) {}

    const char* what() const noexcept override { return message_.c_str(); }
    const std::string& message() const noexcept { return message_; }
    const std::source_location& where() const noexcept { return where_; }

private:
    std::string message_;
    std::source_location where_;
};

// Stops the call with a fatal internal failure carrying `message`.
[[noreturn, gnu::cold, gnu::noinline]] void fatal(
    std::string message, std::source_location where = std::source_location::current());

// The C++ runtime keeps a thread's exception state in thread-local storage, which the C
// library allocates at the thread's first use of it and, should that allocation fail,
// ends the process. Touching it early, while memory is there, spares a thread that meets
// its first exception (MemoryError's std::bad_alloc, say) when memory has run out.
void prepare_thread_for_exceptions();

}  // namespace kernels
