// The class's methods as true Python functions: each is a compiled `def` with the exact
// parameters and defaults, whose one-line body hands the bound arguments to its native body.
// The interpreter does the argument binding, so keywords, defaults, introspection and the
// ordinary TypeError texts are those of any function.
#include <cstdio>
#include <string>

#include "support/compat.hpp"
#include "support/methods.hpp"
#include "support/native.hpp"

namespace mirvak::support {
namespace {

// Process-lifetime references (plain pointers: no destructor may run after finalisation).
PyObject* g_functions[method_count];
PyObject* g_codes[method_count];  // as made: a function whose __code__ was replaced is not ours

constexpr const char* kFilename = "<mirvak.core.pluginmanager>";

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
    auto* def = const_cast<PyMethodDef*>(&table[i].native);
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
#if PY_VERSION_HEX >= 0x030B0000
  if (PyDict_SetItemString(changes.get(), "co_qualname", qualname) < 0) return false;
#else
  (void)qualname;
#endif
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
        !enable_fast_calls(function.get(), table[i].id))
      return false;
    Py_XSETREF(g_codes[i], Py_NewRef(PyFunction_GET_CODE(function.get())));
    Py_XSETREF(g_functions[i], function.release());
  }
  return true;
}

PyObject* function(Method id) noexcept {
  return g_functions[static_cast<int>(id)];
}

PyObject* original_code(Method id) noexcept {
  return g_codes[static_cast<int>(id)];
}

namespace {

bool is_ours(PyObject* func, Method id) {
  const int i = static_cast<int>(id);
  return func == g_functions[i] && PyFunction_GET_CODE(func) == g_codes[i];
}

}  // namespace

#if PY_VERSION_HEX < 0x030D0000
// The interpreter's own method lookup (as for `self.name(...)`): a function found on the type
// and not shadowed by the instance comes back unbound, so no bound method is made for it.
FoundMethod find_method(PyObject* self, Name attribute, Method id) noexcept {
  FoundMethod found;
  PyObject* method = nullptr;
  const int unbound = _PyObject_GetMethod(self, name(attribute), &method);
  found.callable = Ref::steal(method);
  if (method == nullptr || !unbound) return found;
  if (PyFunction_Check(method) && is_ours(method, id)) {
    found.ours = true;
    return found;
  }
  descrgetfunc bind = Py_TYPE(method)->tp_descr_get;
  found.callable = Ref::steal(bind ? bind(method, self, reinterpret_cast<PyObject*>(Py_TYPE(self)))
                                   : Py_NewRef(method));
  return found;
}
#else
FoundMethod find_method(PyObject* self, Name attribute, Method id) noexcept {
  FoundMethod found;
  found.callable = Ref::steal(PyObject_GetAttr(self, name(attribute)));
  PyObject* callable = found.callable.get();
  found.ours = callable != nullptr && PyMethod_Check(callable) &&
               PyMethod_GET_SELF(callable) == self && is_ours(PyMethod_GET_FUNCTION(callable), id);
  return found;
}
#endif

}  // namespace mirvak::support
