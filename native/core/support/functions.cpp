// The class's methods as true Python functions: each is a compiled `def` with the exact
// parameters and defaults, whose one-line body hands the bound arguments to its native body.
// The interpreter does the argument binding, so keywords, defaults, introspection and the
// ordinary TypeError texts are those of any function.
#include <cstdio>
#include <string>

#include "calls/binding.hpp"
#include "cpython/compat.hpp"
#include "host/host.hpp"
#include "support/lifetime.hpp"
#include "support/methods.hpp"
#include "support/native.hpp"

namespace mirvak::support {
namespace {

Retained g_functions[method_count];
Retained g_codes[method_count];  // as made: a function whose __code__ was replaced is not ours
Retained g_names[method_count];  // the interned names, for attribute lookups

// The code objects' file name: its stem names the module, so that a log record made under one
// of these frames shows `pluginmanager` as its module.
constexpr const char* kFilename = "mirvak/core/pluginmanager";

std::string trimmed(const std::string& text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

// "self, os=None, x='a'" -> "self, os, x"
std::string call_arguments(const std::string& params) {
  std::string args;
  std::size_t start = 0;
  while (start <= params.size()) {
    std::size_t end = params.find(',', start);
    if (end == std::string::npos) end = params.size();
    std::string param = trimmed(params.substr(start, end - start));
    param = trimmed(param.substr(0, param.find('=')));
    if (!param.empty()) args += (args.empty() ? "" : ", ") + param;
    start = end + 1;
  }
  return args;
}

std::string native_name(int index) {
  char text[32];
  std::snprintf(text, sizeof text, "_native_%d", index);
  return text;
}

Ref private_globals(const char* module_name) {
  Ref globals = Ref::steal(PyDict_New());
  Ref module = Ref::steal(PyUnicode_FromString(module_name));
  PyObject* builtins = PyEval_GetBuiltins();
  if (!globals || !module || !builtins ||
      PyDict_SetItemString(globals.get(), "__name__", module.get()) < 0 ||
      PyDict_SetItemString(globals.get(), "__builtins__", builtins) < 0)
    return Ref();
  const MethodSpec* table = method_table();
  for (int i = 0; i < method_count; ++i) {
    auto* def = const_cast<PyMethodDef*>(&table[i].native.def);
    Ref native = Ref::steal(PyCFunction_NewEx(def, nullptr, module.get()));
    if (!native || PyDict_SetItemString(globals.get(), native_name(i).c_str(), native.get()) < 0)
      return Ref();
  }
  return globals;
}

Ref define(const MethodSpec& spec, int index, PyObject* globals) {
  const std::string source = std::string("def ") + spec.name + "(" + spec.params +
                             "):\n    return " + native_name(index) + "(" +
                             call_arguments(spec.params) + ")\n";
  Ref code = Ref::steal(Py_CompileString(source.c_str(), kFilename, Py_file_input));
  Ref locals = Ref::steal(PyDict_New());
  if (!code || !locals) return Ref();
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals, locals.get()));
  if (!done) return Ref();
  return Ref::borrow(PyDict_GetItemString(locals.get(), spec.name));
}

// varnames "a b c" -> co_varnames ("a", "b", "c") and co_nlocals 3
bool add_varnames(PyObject* changes, const char* varnames) {
  Ref text = Ref::steal(PyUnicode_FromString(varnames));
  Ref names = text ? Ref::steal(PyUnicode_Split(text.get(), nullptr, -1)) : Ref();
  Ref tuple = names ? Ref::steal(PyList_AsTuple(names.get())) : Ref();
  Ref count = tuple ? Ref::steal(PyLong_FromSsize_t(PyTuple_GET_SIZE(tuple.get()))) : Ref();
  return count && PyDict_SetItemString(changes, "co_varnames", tuple.get()) == 0 &&
         PyDict_SetItemString(changes, "co_nlocals", count.get()) == 0;
}

// Gives the code object what a def in the class body would: the qualified name (3.11+) and
// the local names of a full Python body.
bool adjust_code(PyObject* function, const MethodSpec& spec, PyObject* qualname) {
  Ref changes = Ref::steal(PyDict_New());
  if (!changes || (spec.varnames != nullptr && !add_varnames(changes.get(), spec.varnames)))
    return false;
  if (cpython::kCodeHasQualname && PyDict_SetItemString(changes.get(), "co_qualname", qualname) < 0)
    return false;
  if (PyDict_GET_SIZE(changes.get()) == 0) return true;
  Ref code = Ref::steal(PyObject_GetAttrString(function, "__code__"));
  Ref replace = code ? Ref::steal(PyObject_GetAttrString(code.get(), "replace")) : Ref();
  Ref no_args = replace ? Ref::steal(PyTuple_New(0)) : Ref();
  Ref replaced =
      no_args ? Ref::steal(PyObject_Call(replace.get(), no_args.get(), changes.get())) : Ref();
  return replaced && PyObject_SetAttrString(function, "__code__", replaced.get()) == 0;
}

bool finish(PyObject* function, const MethodSpec& spec, const char* class_name) {
  Ref qualname = Ref::steal(PyUnicode_FromFormat("%s.%s", class_name, spec.name));
  Ref doc = spec.doc ? Ref::steal(PyUnicode_FromString(spec.doc)) : Ref::none();
  return qualname && doc && PyObject_SetAttrString(function, "__qualname__", qualname.get()) == 0 &&
         PyObject_SetAttrString(function, "__doc__", doc.get()) == 0 &&
         adjust_code(function, spec, qualname.get());
}

}  // namespace

PyObject* wrong_native_arity(Py_ssize_t expected, Py_ssize_t given) noexcept {
  PyErr_Format(PyExc_TypeError, "native method body takes %zd arguments (%zd given)", expected,
               given);
  return nullptr;
}

bool module_ready() noexcept {
  if (host::globals() != nullptr) return true;
  PyErr_SetString(PyExc_RuntimeError, "the module mirvak.core.pluginmanager is no longer loaded");
  return false;
}

bool make_functions(const char* module_name, const char* class_name) noexcept {
  Ref globals = private_globals(module_name);
  if (!globals) return false;
  const MethodSpec* table = method_table();
  for (int i = 0; i < method_count; ++i) {
    if (table[i].id != static_cast<Method>(i)) {
      PyErr_SetString(PyExc_SystemError, "method table out of order");
      return false;
    }
    Ref function = define(table[i], i, globals.get());
    if (!function || !finish(function.get(), table[i], class_name) ||
        !calls::enable_binding(function.get(), table[i].id))
      return false;
    g_names[i].reset(PyUnicode_InternFromString(table[i].name));
    if (!g_names[i]) return false;
    g_codes[i].reset(Py_NewRef(PyFunction_GET_CODE(function.get())));
    g_functions[i].reset(function.release());
  }
  return true;
}

PyObject* function(Method id) noexcept {
  return g_functions[static_cast<int>(id)].get();
}

PyObject* method_name(Method id) noexcept {
  return g_names[static_cast<int>(id)].get();
}

bool is_module_function(PyObject* candidate) noexcept {
  for (const Retained& function : g_functions) {
    if (candidate == function.get()) return true;
  }
  return false;
}

bool is_own(PyObject* candidate, Method id) noexcept {
  const int i = static_cast<int>(id);
  return candidate == g_functions[i].get() && PyFunction_GET_CODE(candidate) == g_codes[i].get();
}

}  // namespace mirvak::support
