// A small set-associative memory of dictionaries and their verdicts.
#include "calls/text_keyed.hpp"

#include <cstdint>

#include "cpython/dict_changes.hpp"
#include "cpython/free_threading.hpp"
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
// push each other out.  Without the GIL each thread keeps its own (a version is never handed out
// twice, so a verdict keyed by one can only miss, and none holds a reference).
struct Verdicts {
  Verdict slots[kSets][kWays];
  int next[kSets] = {};
  unsigned int epoch = 0;  // the module's life the verdicts were made in
  void forget() {
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

// The module's verdicts; each life of the module starts with none.
struct SharedVerdicts final : public support::ModuleState {
  Verdicts verdicts;
  unsigned int epoch = 1;
  void release() noexcept override {
    verdicts.forget();
    ++epoch;
  }
};
SharedVerdicts g_verdicts;
thread_local Verdicts t_verdicts;

Verdicts& verdicts() {
  if constexpr (!cpython::kFreeThreaded) {
    return g_verdicts.verdicts;
  } else {
    Verdicts& mine = t_verdicts;
    if (mine.epoch != g_verdicts.epoch) {
      mine.forget();
      mine.epoch = g_verdicts.epoch;
    }
    return mine;
  }
}

bool read_keys(PyObject* dict) {
  cpython::CriticalSection section(dict);  // no Python code runs while the keys are read
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
    g_verdicts.verdicts.forget();
    return;
  }
  Verdict* slot = g_verdicts.verdicts.find(dict);
  if (slot == nullptr) return;
  const bool keeps = keeps_keys || (added && key != nullptr && PyUnicode_CheckExact(key));
  if (!keeps) slot->dict = nullptr;
}

// Reads the keys of a dictionary not judged yet.
[[gnu::noinline, gnu::cold]] bool judge(Verdicts& memory, PyObject* dict) {
  if (PyDict_GET_SIZE(dict) > kLargest) return false;
  Verdict verdict;
  if (kDictTracking == Tracking::version) verdict.version = cpython::dict_version(dict);
  verdict.text_keys = read_keys(dict);
  if (kDictTracking == Tracking::watcher) {
    cpython::add_dict_listener(changed);
    if (!cpython::watch_dict(dict)) return verdict.text_keys;
  } else if (verdict.version != cpython::dict_version(dict)) {
    return verdict.text_keys;  // changed by another thread while it was read
  }
  verdict.dict = dict;
  memory.replace(dict) = verdict;
  return verdict.text_keys;
}

// Without any tracking and without the GIL, a small dictionary is read on every call: a level of
// a walk is then looked up once whenever its keys allow.
constexpr Py_ssize_t kReadEachTime = 8;

}  // namespace

bool text_keyed(PyObject* dict) noexcept {
  if (!PyDict_CheckExact(dict)) return false;
  if (kDictTracking == Tracking::none)
    return cpython::kFreeThreaded && PyDict_GET_SIZE(dict) <= kReadEachTime && read_keys(dict);
  Verdicts& memory = verdicts();
  if (const Verdict* known_verdict = memory.find(dict)) return known_verdict->text_keys;
  return judge(memory, dict);
}

bool maybe_text_keyed(PyObject* dict) noexcept {
  if (!PyDict_CheckExact(dict)) return false;
  const Py_ssize_t largest = kDictTracking == Tracking::none ? kReadEachTime : kLargest;
  return PyDict_GET_SIZE(dict) > largest || text_keyed(dict);
}

}  // namespace mirvak::calls
