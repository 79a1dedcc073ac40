// A small direct-mapped memory of dictionaries and their verdicts.
#include "support/text_keyed.hpp"

#include <cstdint>

#include "support/dict_watch.hpp"
#include "support/lifetime.hpp"

namespace mirvak::support {
namespace {

constexpr int kSets = 32, kWays = 4;
constexpr Py_ssize_t kLargest = 64;  // keys read at most; larger dictionaries are not judged

struct Verdict {
  PyObject* dict = nullptr;  // borrowed; identified with its version, or watched
#if PY_VERSION_HEX < 0x030C0000
  uint64_t version = 0;
#endif
  bool text_keys = false;
};

// A few dictionaries per set, chosen by address, so that the nodes one walk goes through do not
// push each other out.
struct Verdicts final : public ModuleState {
  Verdict slots[kSets][kWays];
  int next[kSets] = {};
  void release() noexcept override {
    for (auto& set : slots) {
      for (Verdict& slot : set) slot.dict = nullptr;
    }
  }
  static int set_of(PyObject* dict) {
    const auto address = reinterpret_cast<std::uintptr_t>(dict);
    return static_cast<int>(((address >> 4) ^ (address >> 10)) % kSets);
  }
  Verdict* find(PyObject* dict);
  Verdict& replace(PyObject* dict) {
    const int set = set_of(dict);
    Verdict& slot = slots[set][next[set]];
    next[set] = (next[set] + 1) % kWays;
    return slot;
  }
};
Verdicts g_verdicts;

bool read_keys(PyObject* dict) {
  Py_ssize_t position = 0;
  PyObject *key, *value;
  while (PyDict_Next(dict, &position, &key, &value)) {
    if (!PyUnicode_CheckExact(key)) return false;
  }
  return true;
}

#if PY_VERSION_HEX < 0x030C0000
uint64_t version_of(PyObject* dict) {
  return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
}
#endif

bool known(const Verdict& slot, PyObject* dict) {
#if PY_VERSION_HEX < 0x030C0000
  return slot.dict == dict && slot.version == version_of(dict);
#else
  return slot.dict == dict;
#endif
}

Verdict* Verdicts::find(PyObject* dict) {
  for (Verdict& slot : slots[set_of(dict)]) {
    if (known(slot, dict)) return &slot;
  }
  return nullptr;
}

// Reads the keys of a dictionary not judged yet.
[[gnu::noinline, gnu::cold]] bool judge(PyObject* dict) {
  if (PyDict_GET_SIZE(dict) > kLargest) return false;
  Verdict verdict;
  verdict.text_keys = read_keys(dict);
#if PY_VERSION_HEX < 0x030C0000
  verdict.version = version_of(dict);
#else
  if (!watch_dict(dict)) return verdict.text_keys;
#endif
  verdict.dict = dict;
  g_verdicts.replace(dict) = verdict;
  return verdict.text_keys;
}

}  // namespace

bool text_keyed(PyObject* dict) noexcept {
  if (!PyDict_CheckExact(dict)) return false;
  if (const Verdict* known_verdict = g_verdicts.find(dict)) return known_verdict->text_keys;
  return judge(dict);
}

#if PY_VERSION_HEX >= 0x030C0000
void text_keyed_changed(PyDict_WatchEvent event, PyObject* dict, PyObject* key) noexcept {
  Verdict* slot = g_verdicts.find(dict);
  if (slot == nullptr) return;
  const bool keeps = event == PyDict_EVENT_MODIFIED || event == PyDict_EVENT_DELETED ||
                     event == PyDict_EVENT_CLEARED ||
                     (event == PyDict_EVENT_ADDED && key != nullptr && PyUnicode_CheckExact(key));
  if (!keeps) slot->dict = nullptr;
}
#endif

}  // namespace mirvak::support
