#include "fatal.hpp"

namespace kernels {

void fatal(std::string message, std::source_location where) {
    throw FatalError(std::move(message), where);
}

}  // namespace kernels
