// The library's logger: only `log.debug(text)` is ever called.
#include "host/host.hpp"

namespace mirvak::host {

bool log_debug(PyObject* text) noexcept {
  Ref log = global(Name::log);
  if (!log) return false;
  Ref result = Ref::steal(PyObject_CallMethodObjArgs(log.get(), name(Name::debug), text, nullptr));
  return static_cast<bool>(result);
}

}  // namespace mirvak::host
