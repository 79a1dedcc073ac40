// State that lives as long as the module object: made when the module runs (or on first use),
// released all together when the module is freed at interpreter finalisation, so that a
// runtime initialised again in the same process starts from nothing.
#pragma once

#include <Python.h>

namespace mirvak::support {

// One piece of such state.  Instances are static objects; each links itself into one list at
// load time and has no destructor, so nothing is touched after the runtime is gone.
class ModuleState {
 public:
  ModuleState(const ModuleState&) = delete;
  ModuleState& operator=(const ModuleState&) = delete;

 protected:
  ModuleState() noexcept;
  // Forgets what the runtime made.  May run Python code (dropping references).
  virtual void release() noexcept = 0;

 private:
  friend void release_module_state() noexcept;
  ModuleState* next_;
};

// A strong reference held for the module's life.
class Retained final : public ModuleState {
 public:
  Retained() noexcept = default;
  PyObject* get() const noexcept { return object_; }
  explicit operator bool() const noexcept { return object_ != nullptr; }
  // Takes over a new reference (nullptr clears); the old one is dropped.
  void reset(PyObject* object) noexcept;

 private:
  void release() noexcept override { reset(nullptr); }
  PyObject* object_ = nullptr;
};

// State that is made when the module runs, before any call can use it: nothing is made lazily
// where two threads could race to make it (free-threaded builds run calls in parallel).
class MadeAtStart : public ModuleState {
 protected:
  MadeAtStart() noexcept;
  // Makes what is not made yet; false with an exception set.
  virtual bool make() noexcept = 0;

 private:
  friend bool make_module_state() noexcept;
  MadeAtStart* next_made_;
};

// Makes every piece of MadeAtStart state not made yet (the module's execution, and its
// companion's); false with an exception set.
bool make_module_state() noexcept;

// Releases every piece of module state, in the reverse order of their construction.
void release_module_state() noexcept;

}  // namespace mirvak::support
