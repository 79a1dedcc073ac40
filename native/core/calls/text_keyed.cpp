// A small set-associative memory of dictionaries and their verdicts.
#include "calls/text_keyed.hpp"

#include <cstdint>

#include "cpython/dict_changes.hpp"
#include "support/lifetime.hpp"

namespace mirvak::calls {
namespace {

using cpython::kDictTracking;
using cpython::Tracking;

constexpr int kSets = 32, kWays = 4;
constexpr Py_ssize_t kLargest = 64;  // keys read at most; larger dictionaries are not judged

struct Verdict {
  PyObject* dict = nullptr;  // borrowed; identified with its version, or watched
  uint64_t version = 0;
  bool text_keys = false;
};

// A few dictionaries per set, chosen by address, so that the nodes one walk goes through do not
// push each other out.
struct Verdicts final : public support::ModuleState {
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

bool known(const Verdict& slot, PyObject* dict) {
  if (kDictTracking == Tracking::version)
    return slot.dict == dict && slot.version == cpython::dict_version(dict);
  return slot.dict == dict;
}

Verdict* Verdicts::find(PyObject* dict) {
  for (Verdict& slot : slots[set_of(dict)]) {
    if (known(slot, dict)) return &slot;
  }
  return nullptr;
}

// The watcher's news: a verdict that the change cannot falsify is kept.
void changed(PyObject* dict, PyObject* key, bool added, bool keeps_keys) noexcept {
  if (dict == nullptr) {  // the watcher is no longer trusted
    g_verdicts.release();
    return;
  }
  Verdict* slot = g_verdicts.find(dict);
  if (slot == nullptr) return;
  const bool keeps = keeps_keys || (added && key != nullptr && PyUnicode_CheckExact(key));
  if (!keeps) slot->dict = nullptr;
}

// Reads the keys of a dictionary not judged yet.
[[gnu::noinline, gnu::cold]] bool judge(PyObject* dict) {
  if (PyDict_GET_SIZE(dict) > kLargest) return false;
  Verdict verdict;
  verdict.text_keys = read_keys(dict);
  if (kDictTracking == Tracking::version) {
    verdict.version = cpython::dict_version(dict);
  } else {
    cpython::add_dict_listener(changed);
    if (!cpython::watch_dict(dict)) return verdict.text_keys;
  }
  verdict.dict = dict;
  g_verdicts.replace(dict) = verdict;
  return verdict.text_keys;
}

}  // namespace

bool text_keyed(PyObject* dict) noexcept {
  if (kDictTracking == Tracking::none || !PyDict_CheckExact(dict)) return false;
  if (const Verdict* known_verdict = g_verdicts.find(dict)) return known_verdict->text_keys;
  return judge(dict);
}

}  // namespace mirvak::calls
