// Makes the global operator new of a test binary fail on request, to test what
// a container does when an allocation fails.
#pragma once

namespace fh::testing {

// The next `n` allocations of this thread succeed; the one after throws
// std::bad_alloc, and so does every later one until AllowAllocations.
void FailAllocationAfter(int n);
void AllowAllocations();

// Fails allocations from construction on (after `n` of them), allows them again on destruction.
class AllocationFailure {
 public:
  explicit AllocationFailure(int n) { FailAllocationAfter(n); }
  ~AllocationFailure() { AllowAllocations(); }
  AllocationFailure(const AllocationFailure&) = delete;
  AllocationFailure& operator=(const AllocationFailure&) = delete;
};

}  // namespace fh::testing
