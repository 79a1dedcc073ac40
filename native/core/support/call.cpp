// Calls with keyword arguments, on the paths where an override stands in for our own method.
#include "support/call.hpp"

namespace mirvak::support {

Ref call_keywords(PyObject* callable, std::initializer_list<PyObject*> args,
                  std::initializer_list<Name> keywords) noexcept {
  Ref kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords.size())));
  if (!kwnames) return kwnames;
  Py_ssize_t i = 0;
  for (Name keyword : keywords) {
    PyObject* text = name(keyword);
    Py_INCREF(text);
    PyTuple_SET_ITEM(kwnames.get(), i++, text);
  }
  return Ref::steal(PyObject_Vectorcall(callable, args.begin(), 0, kwnames.get()));
}

int truth(const Ref& result) noexcept {
  return result ? PyObject_IsTrue(result.get()) : -1;
}

}  // namespace mirvak::support
