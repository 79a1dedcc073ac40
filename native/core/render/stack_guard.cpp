// A guard for the C stack of recursive drawing.  Levels drawn through an override start their
// own count afresh, and the recursion limit may be set as high as anyone likes, so only the
// stack itself can tell how deep the drawing went.
#include "render/stack_guard.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#endif

namespace mirvak::render {
namespace {

// Stack kept free below the deepest level: room for one level of an override's Python frames
// and for unwinding.
constexpr std::uintptr_t kStackMargin = 256 * 1024;

// The part of this thread's stack a level must not start in: from its lowest address up to
// the margin.  Both 0 when unknown.
struct StackGuard {
  std::uintptr_t low = 0;
  std::uintptr_t floor = 0;
};

const StackGuard& stack_guard() {
  thread_local bool known = false;
  thread_local StackGuard guard;
  if (known) return guard;
  known = true;
#if defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return guard;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
    const std::uintptr_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
    guard.low = reinterpret_cast<std::uintptr_t>(low);
    guard.floor = guard.low + margin;
  }
  pthread_attr_destroy(&attributes);
#endif
  return guard;
}

}  // namespace

// A level running on a stack of someone else's making (outside the thread's own) is not
// checked.
bool stack_exhausted() noexcept {
  const char here = 0;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&here);
  const StackGuard& guard = stack_guard();
  if (address > guard.floor || address < guard.low) return false;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while drawing a tree");
  return true;
}

}  // namespace mirvak::render
