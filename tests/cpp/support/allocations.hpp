#pragma once
// Every test binary counts its allocations, so that the 1 kHz path can be shown to allocate nothing.
#include <cstddef>

namespace korvex::testing {

//! Global operator new calls so far, all threads.
long allocations();
//! Global operator new calls so far by the calling thread.
std::size_t thread_allocations();

}  // namespace korvex::testing
