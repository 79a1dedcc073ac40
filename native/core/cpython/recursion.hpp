// Recursion accounting for native bodies.
//
// A body entered without the interpreter's own call of its function (through the binding
// shortcut, or run directly by another body, or a drawing level drawing its child) stands for a
// Python call, so it counts as one against `sys.setrecursionlimit` (PythonLevel).  And no
// recursion may exhaust the C stack, whatever the limit: every way into the native code from
// Python but a thread's outermost, and every drawing level, first checks that the thread's stack
// has room (StackRoom), raising RecursionError where the stack would run out first, as CPython
// does for C code.
//
// Fast: before 3.12 Python calls and `Py_EnterRecursiveCall` share one counter (3.9 to 3.11); from
// 3.12 Python calls have a counter of their own on the thread state, `py_recursion_remaining`
// (3.12 to 3.15), counted down here as the interpreter counts a Python call.
// Public twin: `Py_EnterRecursiveCall`, which shares the counter of Python calls before 3.12 and
// from 3.12 counts against the interpreter's budget for calls from C instead (so there a body that
// stands for a call counts as one from C, not against the limit); the stack is checked alike.
// The stack's bounds come from the C library (pthread_getattr_np), not from CPython.  The main
// thread's follow RLIMIT_STACK, which a program may change at any time: a level that starts a
// step deeper than the last one that looked, or than the first of a new outermost call, reads
// the limit again.
#pragma once

#include <cstdint>

#include "cpython/config.hpp"

namespace mirvak::cpython {

// Levels of room a drawing level wants below the recursion limit before it sorts its keys, as
// the Python class's `sorted(keys)` and its comparisons take them: two, except on 3.11, which
// counts no call of a builtin from Python code (before 3.11 `sorted` counts one; from 3.12 these
// levels come from the budget for C code, apart from the limit).  Interpreter behaviour, the
// same in both builds.
inline constexpr int kSortLevels =
    PY_VERSION_HEX >= 0x030B0000 && PY_VERSION_HEX < 0x030C0000 ? 1 : 2;

// True with RecursionError set when the C stack has too little room left for another level;
// `deep_work` asks for twice the room, for work that goes deeper than a level in C (a sort,
// whose comparisons a debug interpreter asserts cannot fail).
bool stack_exhausted(bool deep_work = false) noexcept;

// The ways into the native code from Python now open, and whether the outermost one opened since
// the last check.  Without the GIL, per thread (in ThreadStack); under it one count serves every
// thread, as each runs only with the GIL held: a thread that takes the GIL over inside another's
// levels is only checked more often, and the count costs no thread_local access on every call.
struct Entries {
  int open;
  bool fresh;
};
inline Entries g_entries = {0, false};

// What a thread knows of its own C stack, in one block: every access to a thread_local from a
// shared library is a call (__tls_get_addr), so each function touches it once.
struct ThreadStack {
  // Levels above this address run unchecked; it lies at most a step below the last level that
  // read the bounds again (so a limit lowered since then is seen within a step), or at the floor.
  std::uintptr_t recheck;
  std::uintptr_t recheck_deep;  // the same for deep work, which wants the margin free below it
  std::uintptr_t low;           // the lowest address the stack can grow to
  std::uintptr_t reach;         // the lowest it could grow to under any limit seen
  std::uintptr_t top;           // its highest address
  std::uintptr_t floor;         // a level must not start below it
  std::uintptr_t margin;        // kept free below the floor
  unsigned long long limit;     // RLIMIT_STACK when the main thread's bounds were found
  Entries entries;              // this thread's, without the GIL
  bool known;                   // the bounds were found
  bool main;                    // the process's main thread, whose stack follows RLIMIT_STACK
};

inline thread_local ThreadStack t_stack = {
    ~std::uintptr_t{0}, ~std::uintptr_t{0}, 0, 0, 0, 0, 0, 0, {0, false}, false, false};

// Room on the C stack for a way into the native code from Python, checked unless it is the only
// such way open on its thread: the outermost entry, which starts where Python code left the
// stack, runs as a C function called from Python would.
class StackRoom {
 public:
  StackRoom() noexcept
      : entries_(entries()), room_(++entries_->open == 1 ? opened() : !stack_exhausted()) {}
  ~StackRoom() { --entries_->open; }
  StackRoom(const StackRoom&) = delete;
  StackRoom& operator=(const StackRoom&) = delete;
  // False with RecursionError set when there is not.
  explicit operator bool() const noexcept { return room_; }

 private:
  // The count's address, kept for the destructor: the compiler would otherwise find a thread's
  // again (another __tls_get_addr call) after the body.
  static Entries* entries() noexcept {
    if constexpr (!kFreeThreaded) {
      return &g_entries;
    } else {
      Entries* mine = &t_stack.entries;
#if defined(__GNUC__)
      __asm__("" : "+r"(mine));
#endif
      return mine;
    }
  }

  bool opened() noexcept {
    entries_->fresh = true;
    return true;
  }

  Entries* entries_;
  bool room_;
};

// One level of a Python call, counted against the recursion limit while alive.
class PythonLevel {
 public:
#if MIRVAK_FAST_PATHS && PY_VERSION_HEX >= 0x030C0000
  explicit PythonLevel(bool enter = true) noexcept : tstate_(PyThreadState_Get()) {
    entered_ = enter && tstate_->py_recursion_remaining > 0;
    if (entered_) {
      --tstate_->py_recursion_remaining;
    } else if (enter) {
      PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
    }
  }
  ~PythonLevel() {
    if (entered_) ++tstate_->py_recursion_remaining;
  }
#else
  explicit PythonLevel(bool enter = true) noexcept
      : entered_(enter && Py_EnterRecursiveCall("") == 0) {}
  ~PythonLevel() {
    if (entered_) Py_LeaveRecursiveCall();
  }
#endif
  PythonLevel(const PythonLevel&) = delete;
  PythonLevel& operator=(const PythonLevel&) = delete;
  // False with RecursionError set when the limit is reached.
  explicit operator bool() const noexcept {
    return entered_;
  }

 private:
#if MIRVAK_FAST_PATHS && PY_VERSION_HEX >= 0x030C0000
  PyThreadState* tstate_;
#endif
  bool entered_;
};

// A way into the native code from Python that stands for a Python call: room on the stack,
// then one level.
class Entry {
 public:
  Entry() noexcept : level_(static_cast<bool>(room_)) {}
  Entry(const Entry&) = delete;
  Entry& operator=(const Entry&) = delete;
  explicit operator bool() const noexcept { return room_ && level_; }

 private:
  StackRoom room_;
  PythonLevel level_;  // not entered without room
};

}  // namespace mirvak::cpython
