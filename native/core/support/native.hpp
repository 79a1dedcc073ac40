// Adapts a C++ method body `PyObject* body(PyObject* self, PyObject* a, ...)` to METH_FASTCALL.
// The Python function in front of it has already bound every argument, so the body gets
// exactly its parameters, positionally, in order.
#pragma once

#include <Python.h>

#include <type_traits>
#include <utility>

#include "cpython/recursion.hpp"

namespace mirvak::support {

PyObject* wrong_native_arity(Py_ssize_t expected, Py_ssize_t given) noexcept;

// False with RuntimeError set once the module that made the bodies has been freed (a method
// called while the runtime is being finalised).
bool module_ready() noexcept;

template <auto Body>
struct Native;

template <typename... Args, PyObject* (*Body)(Args...) noexcept>
struct Native<Body> {
  static_assert((std::is_same_v<Args, PyObject*> && ...), "bodies take objects only");
  static constexpr Py_ssize_t arity = sizeof...(Args);

  static PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    if (nargs != arity) return wrong_native_arity(arity, nargs);
    if (!module_ready()) return nullptr;
    cpython::StackRoom room;
    return room ? invoke(args) : nullptr;
  }

  // The body with exactly its arguments, bound already.
  static PyObject* invoke(PyObject* const* args) noexcept {
    return expand(args, std::make_index_sequence<sizeof...(Args)>{});
  }

 private:
  template <std::size_t... I>
  static PyObject* expand(PyObject* const* args, std::index_sequence<I...>) noexcept {
    return Body(args[I]...);
  }
};

// A native body as the method table holds it: callable from the function's one-line Python
// body (METH_FASTCALL) and, with its arguments bound, directly.
struct NativeBody {
  PyMethodDef def;
  PyObject* (*invoke)(PyObject* const* args) noexcept;
};

template <auto Body>
constexpr NativeBody native(const char* name) noexcept {
  return {{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&Native<Body>::call)),
           METH_FASTCALL, nullptr},
          &Native<Body>::invoke};
}

}  // namespace mirvak::support
