// Calls of the methods without their one-line Python body.  Where the interpreter calls a
// function through its vectorcall entry (cpython/vectorcall.hpp: 3.9, 3.10 and from 3.12; 3.11
// runs calls from Python code inline), the arguments are bound here as the interpreter binds
// them and handed straight to the native body, which counts as the call (cpython/recursion.hpp).
// Anything out of the ordinary (an argument missing, unknown or given twice, a keyword that is not
// an exact str, a replaced __code__) goes to the interpreter's own call of the function, so its
// errors are the ordinary ones.
#include <array>
#include <utility>

#include "calls/binding.hpp"
#include "cpython/compat.hpp"
#include "cpython/recursion.hpp"
#include "cpython/vectorcall.hpp"
#include "support/lifetime.hpp"
#include "support/methods.hpp"

namespace mirvak::calls {
namespace {

using support::is_own;
using support::Method;
using support::method_count;
using support::method_table;
using support::Retained;

constexpr Py_ssize_t kMaxParameters = 8;

vectorcallfunc g_interpreter_call = nullptr;  // the functions' own vectorcall, as made
Retained g_parameters[method_count];          // parameter names, per method

// The parameter a keyword names, at or after `first`; the count of names when none.  Names and
// keywords are nearly always the same interned objects, so identity is tried first.
Py_ssize_t parameter_index(PyObject* names, Py_ssize_t first, PyObject* keyword) {
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  for (Py_ssize_t i = first; i < count; ++i)
    if (PyTuple_GET_ITEM(names, i) == keyword) return i;
  for (Py_ssize_t i = first; i < count; ++i)
    if (PyUnicode_Compare(PyTuple_GET_ITEM(names, i), keyword) == 0) return i;
  return count;
}

// Where each keyword of one call shape goes: kept per method for the last shape seen, so that
// a call site's repeated calls (their keyword tuple is a constant of the caller's code) skip the
// name matching.  Not without the GIL, where every thread would share it.
struct Shape {
  Retained kwnames;  // held, so that no other tuple takes its address
  Py_ssize_t positional = -1;
  Py_ssize_t first_default = -1;
  Py_ssize_t targets[kMaxParameters] = {};
};
Shape g_shapes[method_count];

// Binds positional and keyword arguments to the parameters, defaults for the rest, noting
// where each keyword went; false when the interpreter must bind them (an argument missing,
// unknown or given twice).
bool bind(PyObject* names, Py_ssize_t first_default, PyObject* defaults, PyObject* const* args,
          Py_ssize_t positional, PyObject* kwnames, PyObject** slots, Py_ssize_t* targets) {
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  if (positional > count || count > kMaxParameters) return false;
  Py_ssize_t i = 0;
  for (; i < positional; ++i) slots[i] = args[i];
  for (; i < count; ++i)
    slots[i] = i >= first_default ? PyTuple_GET_ITEM(defaults, i - first_default) : nullptr;
  unsigned by_keyword = 0;
  const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_CheckExact(keyword)) return false;
    const Py_ssize_t at = parameter_index(names, positional, keyword);
    if (at == count || (by_keyword >> at) & 1u) return false;
    by_keyword |= 1u << at;
    slots[at] = args[positional + k];
    targets[k] = at;
  }
  for (i = positional; i < first_default; ++i) {
    if (slots[i] == nullptr) return false;
  }
  return true;
}

// The same for the shape bound last time: no checks left to make.
void bind_known(const Shape& shape, Py_ssize_t count, PyObject* defaults, PyObject* const* args,
                PyObject** slots) {
  const Py_ssize_t positional = shape.positional;
  for (Py_ssize_t i = 0; i < positional; ++i) slots[i] = args[i];
  for (Py_ssize_t i = positional > shape.first_default ? positional : shape.first_default;
       i < count; ++i)
    slots[i] = PyTuple_GET_ITEM(defaults, i - shape.first_default);
  const Py_ssize_t keywords = PyTuple_GET_SIZE(shape.kwnames.get());
  for (Py_ssize_t k = 0; k < keywords; ++k) slots[shape.targets[k]] = args[positional + k];
}

PyObject* call(Method id, PyObject* func, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const int i = static_cast<int>(id);
  if (!is_own(func, id)) return g_interpreter_call(func, args, nargsf, kwnames);
  auto invoke = method_table()[i].native.invoke;
  PyObject* names = g_parameters[i].get();
  const Py_ssize_t count = PyTuple_GET_SIZE(names);
  const Py_ssize_t positional = PyVectorcall_NARGS(nargsf);
  if (kwnames == nullptr && positional == count) {
    cpython::Entry entry;
    return entry ? invoke(args) : nullptr;
  }
  // The defaults tuple is held: a body may run code that replaces __defaults__.
  Ref defaults = Ref::borrow(PyFunction_GET_DEFAULTS(func));
  const Py_ssize_t first_default = count - (defaults ? PyTuple_GET_SIZE(defaults.get()) : 0);
  PyObject* slots[kMaxParameters];
  Shape& shape = g_shapes[i];
  if (!cpython::kFreeThreaded && kwnames != nullptr && kwnames == shape.kwnames.get() &&
      positional == shape.positional && first_default == shape.first_default) {
    bind_known(shape, count, defaults.get(), args, slots);
  } else {
    Py_ssize_t targets[kMaxParameters];
    if (!bind(names, first_default, defaults.get(), args, positional, kwnames, slots, targets))
      return g_interpreter_call(func, args, nargsf, kwnames);
    if (!cpython::kFreeThreaded && kwnames != nullptr) {
      shape.kwnames.reset(Py_NewRef(kwnames));
      shape.positional = positional;
      shape.first_default = first_default;
      for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(kwnames); ++k) shape.targets[k] = targets[k];
    }
  }
  cpython::Entry entry;
  return entry ? invoke(slots) : nullptr;
}

template <int I>
PyObject* call_method(PyObject* func, PyObject* const* args, size_t nargsf,
                      PyObject* kwnames) noexcept {
  return call(static_cast<Method>(I), func, args, nargsf, kwnames);
}

template <int... I>
constexpr std::array<vectorcallfunc, sizeof...(I)> make_calls(std::integer_sequence<int, I...>) {
  return {&call_method<I>...};
}

constexpr auto kCalls = make_calls(std::make_integer_sequence<int, method_count>{});

// The names of the first co_argcount local names of the function's code.
Ref parameter_names(PyObject* function) {
  Ref code = Ref::steal(PyObject_GetAttrString(function, "__code__"));
  Ref varnames = code ? Ref::steal(PyObject_GetAttrString(code.get(), "co_varnames")) : Ref();
  Ref argcount = varnames ? Ref::steal(PyObject_GetAttrString(code.get(), "co_argcount")) : Ref();
  const Py_ssize_t count = argcount ? PyLong_AsSsize_t(argcount.get()) : -1;
  if (count < 0) return Ref();
  return Ref::steal(PyTuple_GetSlice(varnames.get(), 0, count));
}

}  // namespace

bool enable_binding(PyObject* function, Method id) noexcept {
  if (!cpython::kFunctionVectorcall) return true;
  const int i = static_cast<int>(id);
  Ref names = parameter_names(function);
  if (!names) return false;
  g_parameters[i].reset(names.release());
  if (g_interpreter_call == nullptr) g_interpreter_call = cpython::function_vectorcall(function);
  cpython::set_function_vectorcall(function, kCalls[static_cast<size_t>(i)]);
  return true;
}

}  // namespace mirvak::calls
