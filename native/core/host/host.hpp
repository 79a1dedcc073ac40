// Access to the host package's components through the module's globals, looked up at each use.
#pragma once

#include <initializer_list>

#include "support/names.hpp"
#include "support/ref.hpp"

namespace mirvak::host {

// The module's dictionary becomes the global namespace of every method (nullptr forgets it).
void bind_globals(PyObject* module_dict) noexcept;
PyObject* globals() noexcept;  // borrowed; nullptr before the module runs

// The value a name in a method body finds now: the module's globals, then the built-ins;
// NameError when neither binds it.
Ref global(PyObject* name) noexcept;
inline Ref global(Name n) noexcept {
  return global(mirvak::name(n));
}

// `log.debug(text)`, in the statement's order: the `log` global and its `debug` attribute are
// looked up first, then `text()` builds the message, then it is called; the result is dropped.
// CAUTION: runs arbitrary Python code.  False with an exception set on failure.
Ref debug_function() noexcept;
bool call_debug(PyObject* debug, const Ref& text) noexcept;
template <typename Text>
bool log_debug(Text text) noexcept {
  Ref debug = debug_function();
  return debug && call_debug(debug.get(), text());
}

// `raise ConnectionInfraError(message)`, in the statement's order: the global is looked up
// first, then `message()` builds the text, then the class is called and the result raised.
// Always returns nullptr.
Ref connection_error_class() noexcept;
PyObject* raise_instance(PyObject* error_class, const Ref& message) noexcept;
template <typename Message>
PyObject* raise_connection_error(Message message) noexcept {
  Ref error_class = connection_error_class();
  return error_class ? raise_instance(error_class.get(), message()) : nullptr;
}
PyObject* raise_connection_error(const char* message) noexcept;

// `raise value` as the statement does it: an exception instance, or a class to instantiate.
PyObject* raise_object(PyObject* value) noexcept;

// `getfile(cls)` through the current global.  remember_getfile() notes the standard library's
// function as the module body bound it, for a fast answer while it stays bound.
bool remember_getfile() noexcept;
Ref source_file(PyObject* cls) noexcept;

// `import module` (level 0): the module object that `__import__` returns.
bool import_module(PyObject* globals, const char* module, Ref* result) noexcept;

// `from module import a, b, ...` at the given level: values[i] receives each name in turn.
// A name the module lacks fails with the statement's ImportError.
bool import_from(PyObject* globals, const char* module, int level,
                 std::initializer_list<const char*> attributes, Ref* values) noexcept;

}  // namespace mirvak::host
