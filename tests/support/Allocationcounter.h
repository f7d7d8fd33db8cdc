// Counts the heap allocations of the whole process through a replaced global
// operator new: for an executable of its own, since the replacement holds
// for every test linked with it.
#pragma once

#include <cstddef>

class AllocationCounter {
  public:
    // Every operator new and new[] so far, of any thread.
    static std::size_t Allocations();
    // Those not yet deleted.
    static std::ptrdiff_t Live();
};
