// The library's logger: only `log.debug(text)` is ever called.
#include "host/host.hpp"

namespace mirvak::host {

Ref debug_function() noexcept {
  Ref log = global(Name::log);
  return log ? Ref::steal(PyObject_GetAttr(log.get(), name(Name::debug))) : Ref();
}

bool call_debug(PyObject* debug, const Ref& text) noexcept {
  return text && Ref::steal(PyObject_CallOneArg(debug, text.get()));
}

}  // namespace mirvak::host
