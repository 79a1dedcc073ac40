// The class statement of PluginManager, walked from the method table.
#include "host/host.hpp"
#include "pluginmanager.hpp"
#include "support/methods.hpp"

namespace mirvak {
namespace {

constexpr const char kClassDoc[] =
    "\n        Loads all plugin implementation,\n        provides API's for accessing plugins\n   "
    " ";

// A name in the class body: the namespace, then the module globals and the built-ins.
Ref class_body_name(PyObject* ns, const char* key) {
  Ref text = Ref::steal(PyUnicode_FromString(key));
  if (!text) return Ref();
  Ref value = Ref::steal(PyObject_GetItem(ns, text.get()));
  if (value || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
  PyErr_Clear();
  return host::global(text.get());
}

// The object a class body binds for one table entry.
Ref namespace_value(PyObject* ns, const support::MethodSpec& spec) {
  PyObject* function = support::function(spec.id);
  switch (spec.kind) {
    case support::Kind::method:
      return Ref::borrow(function);
    case support::Kind::static_method:
      return Ref::steal(
          PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyStaticMethod_Type), function));
    case support::Kind::property_getter:
      return Ref::steal(
          PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), function));
    case support::Kind::property_setter: {
      Ref property = class_body_name(ns, spec.name);
      return property ? Ref::steal(PyObject_CallMethod(property.get(), "setter", "O", function))
                      : Ref();
    }
  }
  return Ref();
}

// A class body's names are interned, as the compiler interns identifiers: attribute access then
// meets the very key it looks up.
bool bind(PyObject* ns, const char* key, PyObject* value) {
  Ref name = Ref::steal(PyUnicode_InternFromString(key));
  return name && PyObject_SetItem(ns, name.get(), value) == 0;
}

bool set_text(PyObject* ns, const char* key, const char* value) {
  Ref text = Ref::steal(PyUnicode_FromString(value));
  return text && bind(ns, key, text.get());
}

Ref prepare_namespace(PyObject* metaclass, PyObject* name, PyObject* bases) {
  Ref ns = Ref::steal(PyObject_CallMethod(metaclass, "__prepare__", "OO", name, bases));
  if (!ns || !set_text(ns.get(), "__module__", kModuleName) ||
      !set_text(ns.get(), "__qualname__", kClassName) || !set_text(ns.get(), "__doc__", kClassDoc))
    return Ref();
  return ns;
}

}  // namespace

bool assemble_class(PyObject* module_dict) noexcept {
  if (!support::make_functions(kModuleName, kClassName)) return false;
  PyObject* metaclass = reinterpret_cast<PyObject*>(&PyType_Type);
  Ref name = Ref::steal(PyUnicode_FromString(kClassName));
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyBaseObject_Type)));
  Ref ns = name && bases ? prepare_namespace(metaclass, name.get(), bases.get()) : Ref();
  if (!ns) return false;
  const support::MethodSpec* table = support::method_table();
  for (int i = 0; i < support::method_count; ++i) {
    Ref value = namespace_value(ns.get(), table[i]);
    if (!value || !bind(ns.get(), table[i].name, value.get())) return false;
  }
  Ref cls = Ref::steal(
      PyObject_CallFunctionObjArgs(metaclass, name.get(), bases.get(), ns.get(), nullptr));
  return cls && PyDict_SetItemString(module_dict, kClassName, cls.get()) == 0;
}

}  // namespace mirvak
