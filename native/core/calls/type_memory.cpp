// The lookup itself, remembered when the type's stamp was valid before and after it.
#include "calls/type_memory.hpp"

#include "support/lifetime.hpp"
#include "support/methods.hpp"

namespace mirvak::calls {
namespace {

// What one thread remembers for one lookup, without the GIL.
struct ThreadAnswer {
  PyTypeObject* type = nullptr;  // only compared with
  unsigned int stamp = 0;
  unsigned int life = 0;      // the module's life it was found in
  PyObject* found = nullptr;  // nothing, or one of the module's functions
};
constexpr int kThreadSlots = 160;
thread_local ThreadAnswer t_answers[kThreadSlots];
int g_slots_given = 0;    // at load time, one thread
unsigned int g_life = 1;  // a module made again (a runtime initialised again) starts afresh

struct Life final : public support::ModuleState {
  void release() noexcept override { ++g_life; }
};
Life g_life_state;

}  // namespace

TypeLookup::TypeLookup() noexcept : slot_(g_slots_given < kThreadSlots ? g_slots_given++ : -1) {}

void TypeLookup::release() noexcept {
  type_ = nullptr;
}

cpython::Found TypeLookup::look_up(PyTypeObject* type, PyObject* name) noexcept {
  unsigned int before = 0, after = 0;
  const bool stamped = cpython::type_stamp(type, &before);
  cpython::Found found = cpython::type_lookup(type, name);
  if (stamped && cpython::type_stamp(type, &after) && after == before) {
    type_ = type;
    stamp_ = before;
    found_ = found.get();
  }
  return found;
}

cpython::Found TypeLookup::find_per_thread(PyTypeObject* type, PyObject* name) noexcept {
  if (slot_ < 0) return cpython::type_lookup(type, name);
  ThreadAnswer& answer = t_answers[slot_];
  unsigned int stamp = 0;
  const bool stamped = cpython::type_stamp(type, &stamp);
  if (stamped && answer.type == type && answer.stamp == stamp && answer.life == g_life)
    return cpython::Found::lasting(answer.found);
  cpython::Found found = cpython::type_lookup(type, name);
  unsigned int after = 0;
  if (stamped && cpython::type_stamp(type, &after) && after == stamp &&
      (!found || support::is_module_function(found.get()))) {
    answer = {type, stamp, g_life, found.get()};
  }
  return found;
}

}  // namespace mirvak::calls
