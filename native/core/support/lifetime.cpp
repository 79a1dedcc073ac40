// The list of module state and its release.
#include "support/lifetime.hpp"

namespace mirvak::support {
namespace {
ModuleState* g_states = nullptr;  // constant-initialised: safe whatever the load order
MadeAtStart* g_made = nullptr;
}  // namespace

ModuleState::ModuleState() noexcept : next_(g_states) {
  g_states = this;
}

MadeAtStart::MadeAtStart() noexcept : next_made_(g_made) {
  g_made = this;
}

bool make_module_state() noexcept {
  for (MadeAtStart* state = g_made; state != nullptr; state = state->next_made_) {
    if (!state->make()) return false;
  }
  return true;
}

void Retained::reset(PyObject* object) noexcept {
  PyObject* old = object_;
  object_ = object;
  Py_XDECREF(old);  // CAUTION: may run arbitrary Python code
}

void release_module_state() noexcept {
  for (ModuleState* state = g_states; state != nullptr; state = state->next_) state->release();
}

}  // namespace mirvak::support
