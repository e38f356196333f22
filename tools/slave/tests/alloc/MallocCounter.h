// Replaces malloc and its relatives for an allocation-counting test program
// (operator new comes through them too, and so do hosted plug-ins'
// allocations). Each replacement calls CountAllocation(), which the program
// defines (per thread or for the whole process), then glibc's own allocator.
// Include it in exactly one file of a program.
#pragma once

#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

void CountAllocation();

extern "C" void* malloc(size_t size) noexcept {
  CountAllocation();
  return __libc_malloc(size);
}
extern "C" void* calloc(size_t count, size_t size) noexcept {
  CountAllocation();
  return __libc_calloc(count, size);
}
extern "C" void* realloc(void* pointer, size_t size) noexcept {
  CountAllocation();
  return __libc_realloc(pointer, size);
}
extern "C" void* memalign(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
extern "C" void* aligned_alloc(size_t alignment, size_t size) noexcept {
  CountAllocation();
  return __libc_memalign(alignment, size);
}
extern "C" int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
  CountAllocation();
  *out = __libc_memalign(alignment, size);
  return *out != nullptr ? 0 : 12;
}
