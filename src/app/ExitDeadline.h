// The last resort of every way out: once the program has begun to take itself down, a thread stuck
// in a call nothing can interrupt (a rig or an audio server that never answers) must not keep the
// process alive.
#pragma once

#include <chrono>

// Ends the process with exitCode when it is still running after limit. Any thread; returns at
// once.
void endProcessWithin(std::chrono::milliseconds limit, int exitCode);
