#include "modem/kvol_fatal.h"

#include <cstdio>
#include <cstdlib>

namespace kvol {

void fatal(const char* message) {
  std::fprintf(stderr, "%s\n", message);
  std::fflush(stderr);
  std::abort();
}

void allocation_failed(std::size_t bytes, const char* file, int line) {
  std::fprintf(stderr, "Error allocating %lu bytes\n", static_cast<unsigned long>(bytes));
  if (file != nullptr) std::fprintf(stderr, "In file './%s', around line %d\n", file, line);
  std::fflush(stderr);
  std::abort();
}

}  // namespace kvol
