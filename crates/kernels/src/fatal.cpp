#include "fatal.hpp"

#include <cxxabi.h>

namespace kernels {

void fatal(std::string message, std::source_location where) {
    throw FatalError(std::move(message), where);
}

void prepare_thread_for_exceptions() {
    // The runtime's accessor for that storage; the volatile keeps the call, whose result
    // is otherwise unused, from being dropped.
    void* volatile globals = abi::__cxa_get_globals();
    static_cast<void>(globals);
}

}  // namespace kernels
