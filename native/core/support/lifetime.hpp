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

// Releases every piece of module state, in the reverse order of their construction.
void release_module_state() noexcept;

}  // namespace mirvak::support
