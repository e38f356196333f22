// A growable buffer whose storage starts on an Align-byte boundary.
//
// The storage is one over-allocation of n * sizeof(T) + Align bytes: the
// aligned start is the raw address plus Align, rounded down to a multiple of
// Align, and the raw address is kept in the pointer-sized word just below the
// aligned start, from where the release reads it back. Growth allocates exactly
// what is asked for and zero-fills what was not copied; the storage never
// shrinks. Nothing throws: a failed growth leaves the buffer empty.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

template <class T, int Align>
class TAlignedBuf {
  static_assert(Align > 0 && (Align & (Align - 1)) == 0, "alignment must be a power of two");
  static_assert(static_cast<size_t>(Align) >= sizeof(void*), "the raw address is stored below the data");
  static_assert(alignof(std::max_align_t) >= sizeof(void*),
                "malloc must leave room for the raw address below the aligned start");
  static_assert(std::is_trivially_copyable<T>::value, "elements are moved with memcpy");

 public:
  TAlignedBuf() = default;
  TAlignedBuf(const TAlignedBuf&) = delete;
  TAlignedBuf& operator=(const TAlignedBuf&) = delete;
  virtual ~TAlignedBuf() { Free(); }

  // Makes the buffer n elements long; returns whether it has storage
  // afterwards. A negative n counts as 0.
  bool Resize(int32_t n) {
    if (n < 0) n = 0;
    if (n > capacity_) {
      T* fresh = Allocate(n);
      if (fresh) {
        // size_ <= capacity_ < n, so what is copied always fits.
        const size_t total = static_cast<size_t>(n) * sizeof(T);
        size_t copied = 0;
        if (data_ && size_ > 0) {
          copied = static_cast<size_t>(size_) * sizeof(T);
          std::memcpy(fresh, data_, copied);
        }
        if (copied < total) std::memset(reinterpret_cast<unsigned char*>(fresh) + copied, 0, total - copied);
      }
      Release(data_);
      data_ = fresh;
      capacity_ = fresh ? n : 0;
    }
    size_ = data_ ? n : 0;
    return data_ != nullptr;
  }

  // Returns the storage: size and capacity become 0.
  void Free() {
    Release(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
  }

  T* Data() const { return data_; }
  int32_t Size() const { return size_; }
  int32_t Capacity() const { return capacity_; }

 private:
  static T* Allocate(int32_t n) {
    const size_t limit = (SIZE_MAX - static_cast<size_t>(Align)) / sizeof(T);
    if (static_cast<size_t>(n) > limit) return nullptr;
    void* raw = std::malloc(static_cast<size_t>(n) * sizeof(T) + static_cast<size_t>(Align));
    if (!raw) return nullptr;
    const uintptr_t start = (reinterpret_cast<uintptr_t>(raw) + static_cast<uintptr_t>(Align)) &
                            ~static_cast<uintptr_t>(Align - 1);
    void** below = reinterpret_cast<void**>(start) - 1;
    *below = raw;
    return reinterpret_cast<T*>(start);
  }

  static void Release(T* data) {
    if (!data) return;
    void* const* below = reinterpret_cast<void* const*>(reinterpret_cast<uintptr_t>(data)) - 1;
    std::free(*below);
  }

  T* data_ = nullptr;
  int32_t size_ = 0;
  int32_t capacity_ = 0;
};
