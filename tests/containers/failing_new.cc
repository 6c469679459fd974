#include "failing_new.h"

#include <cstdlib>
#include <new>

namespace {
thread_local int allowance = -1;  // -1: no failures
}

namespace fh::testing {
void FailAllocationAfter(int n) { allowance = n; }
void AllowAllocations() { allowance = -1; }
}  // namespace fh::testing

void* operator new(std::size_t size) {
  if (allowance == 0) throw std::bad_alloc();
  if (allowance > 0) --allowance;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return ::operator new(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
