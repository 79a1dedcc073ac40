// The C stack's bounds for this thread, found once per thread and again when the main thread's
// limit changes.
#include "cpython/recursion.hpp"

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>
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

// How much deeper than the last level that read the bounds a level may start without reading
// them again.  Well within the margin, so a limit lowered meanwhile still leaves room.
constexpr std::uintptr_t kRecheckStep = 64 * 1024;

// The kernel keeps this much address space free between a growing stack and the mapping below
// it (stack_guard_gap, 256 pages), and faults on a growth into it.
constexpr std::uintptr_t kGuardGap = 1024 * 1024;

#if defined(__linux__)
unsigned long long stack_limit() {
  struct rlimit limit;
  return getrlimit(RLIMIT_STACK, &limit) == 0 ? limit.rlim_cur : RLIM_INFINITY;
}

bool is_main_thread() {
  return static_cast<long>(getpid()) == syscall(SYS_gettid);
}

// For the main thread the C library gives the limit, or the distance to the mapping below the
// stack when that is shorter (or the limit is unlimited); only in that case does the guard gap
// take its share.
std::uintptr_t usable_size(const ThreadStack& stack, std::uintptr_t size) {
  if (!stack.main || (stack.limit != RLIM_INFINITY && size >= stack.limit)) return size;
  return size > kGuardGap ? size - kGuardGap : 0;
}

[[gnu::cold]] void find_bounds(ThreadStack* stack) {
  if (!stack->known) stack->main = is_main_thread();
  stack->known = true;
  stack->low = stack->top = stack->floor = stack->margin = 0;
  if (stack->main) stack->limit = stack_limit();
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
    stack->top = reinterpret_cast<std::uintptr_t>(low) + size;
    const std::uintptr_t usable = usable_size(*stack, size);
    stack->low = stack->top - usable;
    stack->margin = usable / 4 < kStackMargin ? usable / 4 : kStackMargin;
    stack->floor = stack->low + stack->margin;
    if (stack->reach == 0 || stack->low < stack->reach) stack->reach = stack->low;
  }
  pthread_attr_destroy(&attributes);
}

// The bounds, found again when they may have changed: never found yet, or the main thread's
// limit is no longer the one they follow.
[[gnu::cold]] void refresh_bounds(ThreadStack* stack) {
  if (!stack->known || (stack->main && stack_limit() != stack->limit)) find_bounds(stack);
}
#else
void refresh_bounds(ThreadStack* stack) {
  stack->known = true;
}
#endif

// A level running on a stack of someone else's making (outside the thread's own) is not
// checked; one below a limit lowered under the depth in use has no room.
[[gnu::noinline, gnu::cold]] bool check_bounds(ThreadStack* stack, std::uintptr_t address,
                                               bool deep_work) {
  refresh_bounds(stack);
  if (stack->top == 0) {
    // bounds unknown: levels run unchecked until the next outermost call
    stack->recheck = stack->recheck_deep = 0;
    return false;
  }
  if (address < stack->reach || address > stack->top) return false;
  const std::uintptr_t deep_floor = stack->floor + stack->margin;
  if (address >= (deep_work ? deep_floor : stack->floor)) {
    const std::uintptr_t next = address - kRecheckStep;
    stack->recheck = next > stack->floor ? next : stack->floor;
    stack->recheck_deep = next > deep_floor ? next : deep_floor;
    return false;
  }
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
  return true;
}

}  // namespace

bool stack_exhausted(bool deep_work) noexcept {
  ThreadStack& stack = t_stack;
  // The frame's own address, not a local's: AddressSanitizer may keep locals on a "fake stack"
  // of its own (use-after-return detection, on by default in newer runtimes), which lies
  // outside the thread's stack and would pass every level unchecked.
#if defined(__GNUC__)
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
#else
  const char here = 0;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&here);
#endif
  Entries& entries = kFreeThreaded ? stack.entries : g_entries;
  if (entries.fresh) {
    // A new outermost entry: the limit may have changed since the levels of the last one, so
    // it is read again a step below here at the latest.
    entries.fresh = false;
    if (address - kRecheckStep > stack.recheck) stack.recheck = address - kRecheckStep;
    if (address - kRecheckStep > stack.recheck_deep) stack.recheck_deep = address - kRecheckStep;
  }
  if (address > (deep_work ? stack.recheck_deep : stack.recheck)) return false;
  return check_bounds(&stack, address, deep_work);
}

}  // namespace mirvak::cpython
