// `getfile(cls)`: the path of the source file of the module that defines a class.
#include "cpython/compat.hpp"
#include "cpython/heap_type.hpp"
#include "host/host.hpp"
#include "support/lifetime.hpp"

namespace mirvak::host {
namespace {

// The standard library's function as the module body bound it, and its code.
support::Retained g_getfile;
support::Retained g_getfile_code;
support::Retained g_sys;  // the sys module, whose `modules` getfile reads

bool is_standard_getfile(PyObject* getfile) {
  return getfile == g_getfile.get() && PyFunction_Check(getfile) &&
         PyFunction_GET_CODE(getfile) == g_getfile_code.get();
}

// `dict[key]` as a strong reference, or empty (an exception set only when the lookup raised).
Ref dict_value(PyObject* dict, PyObject* key) {
  PyObject* value;
  PyDict_GetItemRef(dict, key, &value);
  return Ref::steal(value);
}

// What inspect.getfile's branch for classes returns: the `__file__` of the class's module in
// sys.modules.  Answered here only for the plain case (the class of the plain metaclass, its
// module a plain module with a text path), where no attribute read runs Python code; nullptr
// without an exception otherwise.
PyObject* plain_class_file(PyObject* cls) {
  PyObject* cls_dict = cpython::heap_type_dict(cls);
  if (cls_dict == nullptr) return nullptr;
  Ref module_name = dict_value(cls_dict, name(Name::dunder_module));
  if (!module_name || !PyUnicode_CheckExact(module_name.get())) return nullptr;
  Ref modules = Ref::steal(PyObject_GetAttr(g_sys.get(), name(Name::modules)));
  if (!modules || !PyDict_CheckExact(modules.get())) {
    PyErr_Clear();  // the call below meets the same and says so
    return nullptr;
  }
  Ref module = dict_value(modules.get(), module_name.get());
  if (!module || !PyModule_CheckExact(module.get())) return nullptr;
  Ref module_dict = Ref::borrow(PyModule_GetDict(module.get()));
  Ref file = dict_value(module_dict.get(), name(Name::dunder_file));
  if (!file || !PyUnicode_CheckExact(file.get()) || PyUnicode_GET_LENGTH(file.get()) == 0)
    return nullptr;
  return file.release();
}

}  // namespace

bool remember_getfile() noexcept {
  Ref getfile = global(Name::getfile);
  Ref sys = getfile ? Ref::steal(PyImport_ImportModule("sys")) : Ref();
  if (!sys) return false;
  g_sys.reset(sys.release());
  g_getfile.reset(getfile.release());
  PyObject* getfile_function = g_getfile.get();
  g_getfile_code.reset(PyFunction_Check(getfile_function)
                           ? Py_NewRef(PyFunction_GET_CODE(getfile_function))
                           : nullptr);
  return true;
}

Ref source_file(PyObject* cls) noexcept {
  Ref getfile = global(Name::getfile);
  if (!getfile) return getfile;
  if (is_standard_getfile(getfile.get())) {
    if (PyObject* file = plain_class_file(cls)) return Ref::steal(file);
    if (PyErr_Occurred()) return Ref();
  }
  return Ref::steal(PyObject_CallOneArg(getfile.get(), cls));
}

}  // namespace mirvak::host
