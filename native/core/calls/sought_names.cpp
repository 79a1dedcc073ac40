// The sought names' table, made when the module runs: most keys are ruled out by one empty slot
// or one unequal hash.
#include "calls/sought_names.hpp"

#include "cpython/str_hash.hpp"
#include "support/lifetime.hpp"
#include "support/text.hpp"

namespace mirvak::calls {
namespace {

struct SoughtNames final : public support::MadeAtStart {
  static constexpr int kSlots = 64;  // a power of two, well above kSoughtCount
  static_assert(kSoughtCount < kSlots / 2, "the table keeps most slots empty");
  PyObject* names[kSlots] = {};  // borrowed from the interned names, which live as long
  Py_hash_t hashes[kSlots] = {};
  int indices[kSlots] = {};
  bool ready = false;

  void release() noexcept override { ready = false; }
  bool make() noexcept override {
    if (!ready) prepare();
    return true;
  }
  static int first_slot(Py_hash_t hash) { return static_cast<int>(hash & (kSlots - 1)); }
  static int next_slot(int slot) { return (slot + 1) & (kSlots - 1); }
  void prepare() {
    for (PyObject*& slot : names) slot = nullptr;
    for (int i = 0; i < kSoughtCount; ++i) {
      PyObject* sought = i < support::method_count
                             ? support::method_name(static_cast<support::Method>(i))
                             : name(kReadAttributes[i - support::method_count]);
      const Py_hash_t hash = cpython::text_hash(sought);
      int slot = first_slot(hash);
      while (names[slot] != nullptr) slot = next_slot(slot);
      names[slot] = sought;
      hashes[slot] = hash;
      indices[slot] = i;
    }
    ready = true;
  }
  int index_of(PyObject* key) {
    const Py_hash_t hash = cpython::text_hash(key);
    for (int slot = first_slot(hash); names[slot] != nullptr; slot = next_slot(slot)) {
      if (hashes[slot] == hash && support::same_text(key, names[slot])) return indices[slot];
    }
    return -1;
  }
};
SoughtNames g_sought;

}  // namespace

int sought_index(PyObject* key) noexcept {
  return g_sought.index_of(key);
}

}  // namespace mirvak::calls
