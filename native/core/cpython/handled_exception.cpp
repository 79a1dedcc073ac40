// The except block around a fall-back: the thread state's current level (fast), or a compiled
// function with a real try/except (public).
#include "cpython/handled_exception.hpp"

#include "support/lifetime.hpp"

namespace mirvak::cpython {
namespace {

#if MIRVAK_FAST_PATHS
// While alive, `value` is the exception being handled at the current level.
class Handling {
 public:
  explicit Handling(PyObject* value) noexcept {
    _PyErr_StackItem* level = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
    saved_ = level->exc_value;
    level->exc_value = Py_XNewRef(value);
#else
    saved_type_ = level->exc_type;
    saved_value_ = level->exc_value;
    saved_traceback_ = level->exc_traceback;
    level->exc_type = value ? Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value))) : nullptr;
    level->exc_value = Py_XNewRef(value);
    level->exc_traceback = value ? PyException_GetTraceback(value) : nullptr;
#endif
  }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling() {
    _PyErr_StackItem* level = PyThreadState_Get()->exc_info;
#if PY_VERSION_HEX >= 0x030B0000
    PyObject* handled = level->exc_value;
    level->exc_value = saved_;
    Py_XDECREF(handled);
#else
    PyObject* handled_type = level->exc_type;
    PyObject* handled_value = level->exc_value;
    PyObject* handled_traceback = level->exc_traceback;
    level->exc_type = saved_type_;
    level->exc_value = saved_value_;
    level->exc_traceback = saved_traceback_;
    Py_XDECREF(handled_type);
    Py_XDECREF(handled_value);
    Py_XDECREF(handled_traceback);
#endif
  }

 private:
#if PY_VERSION_HEX >= 0x030B0000
  PyObject* saved_;
#else
  PyObject* saved_type_;
  PyObject* saved_value_;
  PyObject* saved_traceback_;
#endif
};

#else
constexpr const char kSource[] =
    "def handle(exception, traceback, context, fallback):\n"
    "    try:\n"
    "        raise exception\n"
    "    except BaseException:\n"
    "        exception.__traceback__ = traceback\n"
    "        exception.__context__ = context\n"
    "        return fallback()\n";
constexpr const char kFilename[] = "mirvak/core/pluginmanager";
constexpr const char kCapsuleName[] = "mirvak.core.pluginmanager.fallback";
char g_live_marker;  // a capsule's pointer; its context is the fall-back while it may run

PyObject* make_handle() {
  Ref code = Ref::steal(Py_CompileString(kSource, kFilename, Py_file_input));
  Ref globals = code ? Ref::steal(PyDict_New()) : Ref();
  if (!globals || PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0)
    return nullptr;
  Ref done = Ref::steal(PyEval_EvalCode(code.get(), globals.get(), globals.get()));
  PyObject* handle = done ? PyDict_GetItemString(globals.get(), "handle") : nullptr;
  return Py_XNewRef(handle);
}

// The fall-back as a callable.  A traceback may keep it alive past its run; called then, it
// refuses.
PyObject* run_thunk(PyObject* capsule, PyObject*) noexcept {
  auto* fallback = static_cast<const Fallback*>(PyCapsule_GetContext(capsule));
  if (fallback == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "the fall-back has already run");
    return nullptr;
  }
  return fallback->run(fallback->context).release();
}

PyMethodDef g_thunk = {"fallback", run_thunk, METH_NOARGS, nullptr};

// Made when the module runs: two threads must not race to make it.
struct Handle final : public support::MadeAtStart {
  support::Retained function;
  bool make() noexcept override {
    if (!function) function.reset(make_handle());
    return static_cast<bool>(function);
  }
  void release() noexcept override {}  // function is released on its own
};
Handle g_handle;
#endif

}  // namespace

Ref run_handling(PyObject* caught, const Fallback& fallback) noexcept {
#if MIRVAK_FAST_PATHS
  Handling handling(caught);
  return fallback.run(fallback.context);
#else
  Ref capsule = Ref::steal(PyCapsule_New(&g_live_marker, kCapsuleName, nullptr));
  if (!capsule || PyCapsule_SetContext(capsule.get(), const_cast<Fallback*>(&fallback)) < 0)
    return Ref();
  Ref thunk = Ref::steal(PyCFunction_New(&g_thunk, capsule.get()));
  Ref traceback = Ref::steal(PyException_GetTraceback(caught));
  Ref context = Ref::steal(PyException_GetContext(caught));
  Ref result;
  if (thunk) {
    PyObject* args[] = {caught, traceback ? traceback.get() : Py_None,
                        context ? context.get() : Py_None, thunk.get()};
    result = Ref::steal(PyObject_Vectorcall(g_handle.function.get(), args, 4, nullptr));
  }
  PyCapsule_SetContext(capsule.get(), nullptr);
  return result;
#endif
}

}  // namespace mirvak::cpython
