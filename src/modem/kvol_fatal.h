// How the modem stops on a fault no caller can recover from: its own sizing mistakes, a broken
// invariant, or memory it cannot get. Any thread.
#pragma once

#include <cstddef>

namespace kvol {

// Prints the message on standard error and aborts.
[[noreturn]] void fatal(const char* message);
// "Error allocating N bytes", then the place ("In file './name', around line N") when given.
[[noreturn]] void allocation_failed(std::size_t bytes, const char* file = nullptr, int line = 0);

}  // namespace kvol
