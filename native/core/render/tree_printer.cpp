// Tree printing: a nested mapping drawn as indented text with ASCII branch marks.
//
// Each level starts from its label and appends, for every key in sorted order, the finished
// text of the child's drawing with each of its lines re-prefixed.  Children are drawn through
// `self.print_tree(data=..., output=...)`; when that is this very method, the child is drawn
// here directly and hands its text back as UTF-8, so no level re-splits a Python string.
// Whenever a piece is not an ordinary str (an override's result, an odd label), the level
// carries on with the operations written out on Python objects, giving the same result.
#include <cstdint>
#include <cstring>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "registry/tree.hpp"
#include "render/render.hpp"
#include "render/text_buffer.hpp"
#include "support/call.hpp"
#include "support/methods.hpp"

namespace mirvak::render {
namespace {

constexpr int kMaxDepth = 4000;  // keeps the C stack safe whatever the recursion limit

// Stack kept free below the deepest level: room for one level of an override's Python frames
// and for unwinding.  Levels drawn through an override start over at depth 0, so only the
// stack itself can tell how deep the drawing went.
constexpr std::uintptr_t kStackMargin = 256 * 1024;

// The part of this thread's stack a level must not start in: from its lowest address up to
// the margin.  Both 0 when unknown.
struct StackGuard {
  std::uintptr_t low = 0;
  std::uintptr_t floor = 0;
};

const StackGuard& stack_guard() {
  thread_local bool known = false;
  thread_local StackGuard guard;
  if (known) return guard;
  known = true;
#if defined(__linux__)
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return guard;
  void* low = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attributes, &low, &size) == 0 && low != nullptr) {
    const std::uintptr_t margin = size / 4 < kStackMargin ? size / 4 : kStackMargin;
    guard.low = reinterpret_cast<std::uintptr_t>(low);
    guard.floor = guard.low + margin;
  }
  pthread_attr_destroy(&attributes);
#endif
  return guard;
}

// True with RecursionError set when the next level could run out of C stack.  A level running
// on a stack of someone else's making (outside the thread's own) is not checked.
bool stack_exhausted() {
  const char here = 0;
  const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(&here);
  const StackGuard& guard = stack_guard();
  if (address > guard.floor || address < guard.low) return false;
  PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while drawing a tree");
  return true;
}

// One level's result: UTF-8 text while every piece was an ordinary str, else `object`.
struct Drawing {
  TextBuffer text;
  Ref object;
};

// Appends an exact str: 1 done, 0 when it has no UTF-8 form (lone surrogates), -1 on error.
int append_str(TextBuffer& buffer, PyObject* text) {
  Py_ssize_t length = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
  if (utf8 == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
    PyErr_Clear();
    return 0;
  }
  return buffer.append(utf8, length) ? 1 : -1;
}

Ref to_object(Drawing& drawing) {
  return drawing.object ? std::move(drawing.object) : Ref::steal(drawing.text.to_str());
}

// `key == last_key`, as a truth value.
int same_key(PyObject* key, PyObject* last_key) {
  if (PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key))
    return key == last_key || PyUnicode_Compare(key, last_key) == 0;
  return support::truth(Ref::steal(PyObject_RichCompare(key, last_key, Py_EQ)));
}

// `sorted(data.keys())`; keys that cannot be ordered among themselves are ordered by str().
Ref sorted_keys(PyObject* data) {
  Ref unsorted;
  if (PyDict_CheckExact(data)) {
    unsorted = Ref::steal(PyDict_Keys(data));  // already a new list of its own
  } else {
    Ref keys = Ref::steal(PyObject_CallMethodNoArgs(data, name(Name::keys)));
    unsorted = keys ? Ref::steal(PySequence_List(keys.get())) : Ref();
  }
  Ref ordered = unsorted ? Ref::steal(PyList_GetSlice(unsorted.get(), 0, PY_SSIZE_T_MAX)) : Ref();
  if (!ordered || PyList_Sort(ordered.get()) == 0) return ordered;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return Ref();
  PyErr_Clear();
  ordered = Ref::steal(PyList_GetSlice(unsorted.get(), 0, PY_SSIZE_T_MAX));
  Ref sort = ordered ? Ref::steal(PyObject_GetAttr(ordered.get(), name(Name::sort))) : Ref();
  Ref done = sort ? support::call_keywords(
                        sort.get(), {reinterpret_cast<PyObject*>(&PyUnicode_Type)}, {Name::key})
                  : Ref();
  return done ? std::move(ordered) : Ref();
}

// "__ " + key; a key that is not text is shown through str().
Ref child_label(PyObject* key) {
  Ref text = PyUnicode_Check(key) ? Ref::borrow(key) : Ref::steal(PyObject_Str(key));
  return text ? Ref::steal(PyNumber_Add(name(Name::branch), text.get())) : Ref();
}

// A level's text: fast while every piece is an ordinary str, else a Python object.
class Level {
 public:
  // Starts from the label.  False with an exception set on failure.
  bool start(PyObject* label) {
    if (PyUnicode_CheckExact(label)) {
      const int added = append_str(text_, label);
      if (added != 0) return added > 0;
    }
    output_ = Ref::borrow(label);
    return true;
  }

  bool add_child(PyObject* key, PyObject* last_key, Drawing& child) {
    const int last = same_key(key, last_key);
    if (last < 0) return false;
    if (!output_ && !child.object) {
      // The first line's test is made again; only a key that is not an exact str can tell.
      const int first_of_last = PyUnicode_CheckExact(key) ? last : same_key(key, last_key);
      if (first_of_last < 0) return false;
      return add_text(child.text, last, first_of_last || !last);
    }
    if (!output_) output_ = Ref::steal(text_.to_str());
    Ref child_text = to_object(child);
    return output_ && child_text && add_lines(key, last_key, child_text.get(), last);
  }

  void finish(Drawing* out) {
    if (output_)
      out->object = std::move(output_);
    else
      out->text = std::move(text_);
  }

 private:
  // The child's lines, the first after "\n  |", each further one after "\n" and the separator.
  bool add_text(const TextBuffer& child, bool last, bool bar_on_first_line) {
    const char* separator = last ? "  " : "  |";
    const Py_ssize_t separator_length = last ? 2 : 3;
    if (!(bar_on_first_line ? text_.append("\n  |", 4) : text_.append("\n  ", 3))) return false;
    const char* line = child.data();
    const char* end = line + child.size();
    while (line != end) {
      const void* found = std::memchr(line, '\n', static_cast<size_t>(end - line));
      if (found == nullptr) return text_.append(line, end - line);
      const char* newline = static_cast<const char*>(found);
      if (!text_.append(line, newline + 1 - line) || !text_.append(separator, separator_length))
        return false;
      line = newline + 1;
    }
    return true;
  }

  // The same, written out on Python objects: split, prefix and `output += line`.
  bool add_lines(PyObject* key, PyObject* last_key, PyObject* child_text, bool last) {
    Ref lines =
        Ref::steal(PyObject_CallMethodOneArg(child_text, name(Name::split), name(Name::newline)));
    Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
    if (!iterator) return false;
    for (int current_line = 1; Ref line = Ref::steal(PyIter_Next(iterator.get())); ++current_line) {
      int first_of_last = current_line == 1 ? same_key(key, last_key) : 0;
      if (first_of_last < 0) return false;
      PyObject* prefix =
          first_of_last || !last ? name(Name::first_line_prefix) : name(Name::last_child_prefix);
      Ref prefixed = Ref::steal(PyNumber_Add(prefix, line.get()));
      if (!prefixed) return false;
      output_ = Ref::steal(PyNumber_InPlaceAdd(output_.get(), prefixed.get()));
      if (!output_) return false;
    }
    return !PyErr_Occurred();
  }

  TextBuffer text_;
  Ref output_;  // set once the level works on Python objects
};

bool draw(PyObject* self, PyObject* data, PyObject* output, Drawing* out, int depth);

// `self.print_tree(data=data[key], output="__ " + key)`, in that order of evaluation.
bool draw_child(PyObject* self, PyObject* data, PyObject* key, Drawing* out, int depth) {
  auto found = support::find_method(self, Name::print_tree, support::Method::print_tree);
  Ref child = found.callable ? registry::item(data, key) : Ref();
  Ref label = child ? child_label(key) : Ref();
  if (!label || stack_exhausted()) return false;
  if (!found.ours) {
    out->object = support::call_keywords(found.callable.get(), {child.get(), label.get()},
                                         {Name::data, Name::output});
    return static_cast<bool>(out->object);
  }
  if (depth >= kMaxDepth) {
    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded while drawing a tree");
    return false;
  }
  if (Py_EnterRecursiveCall(" while drawing a tree")) return false;
  const bool done = draw(self, child.get(), label.get(), out, depth + 1);
  Py_LeaveRecursiveCall();
  return done;
}

bool draw_node(PyObject* self, PyObject* data, PyObject* output, Drawing* out, int depth) {
  Ref keys = sorted_keys(data);
  if (!keys) return false;
  const Py_ssize_t count = PyList_GET_SIZE(keys.get());
  if (count == 0) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return false;
  }
  Ref last_key = Ref::borrow(PyList_GET_ITEM(keys.get(), count - 1));
  Level level;
  if (!level.start(output)) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    Drawing child;
    if (!draw_child(self, data, key.get(), &child, depth) ||
        !level.add_child(key.get(), last_key.get(), child))
      return false;
  }
  level.finish(out);
  return true;
}

// output + " = " + str(data)
bool draw_leaf(PyObject* data, PyObject* output, Drawing* out) {
  Ref head, value;
  if (PyUnicode_CheckExact(output)) {
    value = Ref::steal(PyObject_Str(data));
    if (!value) return false;
    if (PyUnicode_CheckExact(value.get())) {
      int added = append_str(out->text, output);
      if (added > 0) added = out->text.append(" = ", 3) ? append_str(out->text, value.get()) : -1;
      if (added != 0) return added > 0;
      out->text = TextBuffer();  // no UTF-8 form: build the str below
    }
    head = Ref::steal(PyNumber_Add(output, name(Name::equals)));
  } else {
    head = Ref::steal(PyNumber_Add(output, name(Name::equals)));
    value = head ? Ref::steal(PyObject_Str(data)) : Ref();
  }
  out->object = head && value ? Ref::steal(PyNumber_Add(head.get(), value.get())) : Ref();
  return static_cast<bool>(out->object);
}

// isinstance(data, dict)
int is_node(PyObject* data) {
  if (PyDict_Check(data)) return 1;
  if (PyUnicode_CheckExact(data) || PyType_CheckExact(data)) return 0;
  return PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
}

bool draw(PyObject* self, PyObject* data, PyObject* output, Drawing* out, int depth) {
  const int present = PyObject_IsTrue(data);
  if (present <= 0) return present == 0;  // falsy data draws as ""
  const int node = is_node(data);
  if (node < 0) return false;
  return node ? draw_node(self, data, output, out, depth) : draw_leaf(data, output, out);
}

}  // namespace

PyObject* print_tree(PyObject* self, PyObject* data, PyObject* output) noexcept {
  Drawing drawing;
  if (!draw(self, data, output, &drawing, 0)) return nullptr;
  return to_object(drawing).release();
}

}  // namespace mirvak::render
