// The C stack's bounds for this thread, found once per thread.
#include "cpython/recursion.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

// The stack functions as the oldest C library versions define them, so that the module runs on
// any glibc (their newer symbol versions, 2.32 and 2.34, differ only in where they live).
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.2.5");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pthread_getattr_np,pthread_getattr_np@GLIBC_2.17");
__asm__(".symver pthread_attr_getstack,pthread_attr_getstack@GLIBC_2.17");
#endif

namespace mirvak::cpython {
namespace {

// Stack kept free below the deepest level: room for the Python frames of an override's level,
// for raising and for unwinding.
constexpr std::uintptr_t kStackMargin = 256 * 1024;

// The part of this thread's stack a level must not start in: from its lowest address up to the
// margin.  Both 0 when unknown.
struct Bounds {
  std::uintptr_t low = 0;
  std::uintptr_t floor = 0;
  std::uintptr_t margin = 0;
  bool known = false;
};

[[gnu::noinline, gnu::cold]] void find_bounds(Bounds* bounds) {
  bounds->known = true;
#if defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
    const std::uintptr_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
    bounds->low = reinterpret_cast<std::uintptr_t>(low);
    bounds->floor = bounds->low + margin;
    bounds->margin = margin;
  }
  pthread_attr_destroy(&attributes);
#endif
}

}  // namespace

// A level running on a stack of someone else's making (outside the thread's own) is not
// checked.
bool stack_exhausted(bool deep_work) noexcept {
  static thread_local Bounds bounds;
  // The frame's own address, not a local's: AddressSanitizer may keep locals on a "fake stack"
  // of its own (use-after-return detection, on by default in newer runtimes), which lies
  // outside the thread's stack and would pass every level unchecked.
#if defined(__GNUC__)
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
  const char here = 0;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&here);
#endif
  if (!bounds.known) find_bounds(&bounds);
  const std::uintptr_t floor = deep_work ? bounds.floor + bounds.margin : bounds.floor;
  if (address > floor || address < bounds.low) return false;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  return true;
}

}  // namespace mirvak::cpython
