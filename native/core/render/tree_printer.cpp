// Tree printing: a nested mapping drawn as indented text with ASCII branch marks.
//
// By the rules each level starts from its label and appends, for every key in sorted order,
// the finished text of the child's drawing with each of its lines re-prefixed.  Children are
// drawn through `self.print_tree(data=..., output=...)`; when that is this very method, the
// child is drawn here directly into one shared buffer, its lines written once with the
// prefixes of every level above them, so drawing is linear in the size of the text.  When a
// piece is not an ordinary str (an override's result, an odd label), the level takes its own
// text back out of the buffer and carries on with the operations written out on Python
// objects, which gives the same result.
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

// The buffer of a drawing.  A level's text goes in with the prefix of its place: every "\n"
// is followed by the separators of the levels above, as re-prefixing at each level would do.
class Sink {
 public:
  Py_ssize_t size() const { return out_.size(); }
  void truncate(Py_ssize_t size) { out_.truncate(size); }

  bool emit(const char* text, Py_ssize_t length) {
    const char* end = text + length;
    while (text != end) {
      const void* found = std::memchr(text, '\n', static_cast<size_t>(end - text));
      if (found == nullptr) return out_.append(text, end - text);
      const char* newline = static_cast<const char*>(found);
      if (!out_.append(text, newline + 1 - text) || !out_.append(prefix_.data(), prefix_.size()))
        return false;
      text = newline + 1;
    }
    return true;
  }

  // An exact str: 1 written, 0 when it has no UTF-8 form (lone surrogates), -1 on error.
  int emit_str(PyObject* text) {
    Py_ssize_t length = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &length);
    if (utf8 == nullptr) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return -1;
      PyErr_Clear();
      return 0;
    }
    return emit(utf8, length) ? 1 : -1;
  }

  // Adds a child's separator to the prefix; returns what to pop back to.
  Py_ssize_t push(bool last) {
    const Py_ssize_t mark = prefix_.size();
    return (last ? prefix_.append("  ", 2) : prefix_.append("  |", 3)) ? mark : -1;
  }
  void pop(Py_ssize_t mark) { prefix_.truncate(mark); }

  // The text a level wrote since `start`, without the prefix after each newline, as a str;
  // the buffer goes back to `start`.
  Ref take(Py_ssize_t start) {
    TextBuffer text;
    const char* line = out_.data() + start;
    const char* end = out_.data() + out_.size();
    while (line != end) {
      const void* found = std::memchr(line, '\n', static_cast<size_t>(end - line));
      const char* stop = found ? static_cast<const char*>(found) + 1 : end;
      if (!text.append(line, stop - line)) return Ref();
      line = found ? stop + prefix_.size() : end;
    }
    out_.truncate(start);
    return Ref::steal(text.to_str());
  }

  Ref to_str() const { return Ref::steal(out_.to_str()); }

 private:
  TextBuffer out_;
  TextBuffer prefix_;
};

bool draw(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal, int depth);

// A child drawn on its own, as a str or whatever an override returned.
Ref draw_apart(PyObject* self, PyObject* data, PyObject* label, int depth) {
  Sink sink;
  Ref literal;
  if (!draw(self, data, label, sink, &literal, depth)) return Ref();
  return literal ? std::move(literal) : sink.to_str();
}

// One level of the drawing.  It writes into the sink while every piece is an ordinary str;
// after that its text is the Python object `output`.
class Level {
 public:
  Level(PyObject* self, Sink& sink, int depth) : self_(self), sink_(sink), depth_(depth) {}

  bool start(PyObject* label) {
    start_ = sink_.size();
    if (PyUnicode_CheckExact(label)) {
      const int written = sink_.emit_str(label);
      if (written != 0) return written > 0;
    }
    output_ = Ref::borrow(label);
    return true;
  }

  // `self.print_tree(data=data[key], output="__ " + key)`, then the child's lines.
  bool add_child(PyObject* data, PyObject* key, PyObject* last_key) {
    auto found = support::find_method(self_, Name::print_tree, support::Method::print_tree);
    Ref child = found.callable ? registry::item(data, key) : Ref();
    Ref label = child ? child_label(key) : Ref();
    if (!label || stack_exhausted()) return false;
    if (found.ours && !output_ && PyUnicode_CheckExact(key)) {
      // Comparing exact str keys runs no Python code: the child's place is known beforehand.
      const int last = same_key(key, last_key);
      return last >= 0 && add_own(key, last_key, last, child.get(), label.get());
    }
    Ref text = found.ours ? draw_own(child.get(), label.get(), nullptr)
                          : support::call_keywords(found.callable.get(), {child.get(), label.get()},
                                                   {Name::data, Name::output});
    const int last = text ? same_key(key, last_key) : -1;
    if (last < 0) return false;
    return output_ ? add_lines(key, last_key, text.get(), last)
                   : add_text(key, last_key, last, text.get());
  }

  // The level's result: nothing to do when its text is in the sink.
  void finish(Ref* literal) {
    if (output_) *literal = std::move(output_);
  }

 private:
  // This method drawing a child: into the sink under the child's prefix, or on its own.
  Ref draw_own(PyObject* child, PyObject* label, bool* in_sink) {
    if (depth_ >= kMaxDepth) {
      PyErr_SetString(PyExc_RecursionError,
                      "maximum recursion depth exceeded while drawing a tree");
      return Ref();
    }
    if (Py_EnterRecursiveCall(" while drawing a tree")) return Ref();
    Ref result;
    if (in_sink == nullptr) {
      result = draw_apart(self_, child, label, depth_ + 1);
    } else {
      *in_sink = draw(self_, child, label, sink_, &result, depth_ + 1);
    }
    Py_LeaveRecursiveCall();
    return result;
  }

  // The first line's mark: "\n  |", or "\n  " where the repeated `key == last_key` (which
  // only a key that is not an exact str can answer differently) says otherwise.
  int first_line_bar(PyObject* key, PyObject* last_key, int last) {
    const int again = PyUnicode_CheckExact(key) ? last : same_key(key, last_key);
    return again < 0 ? -1 : (again || !last);
  }

  bool add_own(PyObject* key, PyObject* last_key, int last, PyObject* child, PyObject* label) {
    const int bar = first_line_bar(key, last_key, last);
    const Py_ssize_t before_mark = sink_.size();
    if (bar < 0 || !sink_.emit(bar ? "\n  |" : "\n  ", bar ? 4 : 3)) return false;
    const Py_ssize_t mark = sink_.push(last);
    if (mark < 0) return false;
    bool drawn = false;
    Ref literal = draw_own(child, label, &drawn);
    int written = drawn ? 1 : -1;
    if (drawn && literal && PyUnicode_CheckExact(literal.get()))
      written = sink_.emit_str(literal.get());
    else if (drawn && literal)
      written = 0;
    sink_.pop(mark);
    if (written != 0) return written > 0;
    sink_.truncate(before_mark);
    return to_literal() && add_lines(key, last_key, literal.get(), last, bar);
  }

  // A child's finished text: written under the child's prefix when it is an ordinary str.
  bool add_text(PyObject* key, PyObject* last_key, int last, PyObject* text) {
    if (!PyUnicode_CheckExact(text)) return to_literal() && add_lines(key, last_key, text, last);
    const int bar = first_line_bar(key, last_key, last);
    const Py_ssize_t before_mark = sink_.size();
    if (bar < 0 || !sink_.emit(bar ? "\n  |" : "\n  ", bar ? 4 : 3)) return false;
    const Py_ssize_t mark = sink_.push(last);
    if (mark < 0) return false;
    const int written = sink_.emit_str(text);
    sink_.pop(mark);
    if (written != 0) return written > 0;
    sink_.truncate(before_mark);
    return to_literal() && add_lines(key, last_key, text, last, bar);
  }

  bool to_literal() {
    if (!output_) output_ = sink_.take(start_);
    return static_cast<bool>(output_);
  }

  // The rules written out on Python objects: split, prefix and `output += line`.  `bar` is
  // the first line's test when it was already made.
  bool add_lines(PyObject* key, PyObject* last_key, PyObject* child_text, bool last, int bar = -1) {
    Ref lines =
        Ref::steal(PyObject_CallMethodOneArg(child_text, name(Name::split), name(Name::newline)));
    Ref iterator = lines ? Ref::steal(PyObject_GetIter(lines.get())) : Ref();
    if (!iterator) return false;
    for (int current_line = 1; Ref line = Ref::steal(PyIter_Next(iterator.get())); ++current_line) {
      int first_of_last = 0;
      if (current_line == 1) first_of_last = bar >= 0 ? (bar && last) : same_key(key, last_key);
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

  PyObject* self_;
  Sink& sink_;
  int depth_;
  Py_ssize_t start_ = 0;
  Ref output_;  // set once the level works on Python objects
};

bool draw_node(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal,
               int depth) {
  Ref keys = sorted_keys(data);
  if (!keys) return false;
  const Py_ssize_t count = PyList_GET_SIZE(keys.get());
  if (count == 0) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return false;
  }
  Ref last_key = Ref::borrow(PyList_GET_ITEM(keys.get(), count - 1));
  Level level(self, sink, depth);
  if (!level.start(output)) return false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref key = Ref::borrow(PyList_GET_ITEM(keys.get(), i));
    if (!level.add_child(data, key.get(), last_key.get())) return false;
  }
  level.finish(literal);
  return true;
}

// output + " = " + str(data)
bool draw_leaf(PyObject* data, PyObject* output, Sink& sink, Ref* literal) {
  Ref head, value;
  if (PyUnicode_CheckExact(output)) {
    value = Ref::steal(PyObject_Str(data));
    if (!value) return false;
    if (PyUnicode_CheckExact(value.get())) {
      const Py_ssize_t start = sink.size();
      int written = sink.emit_str(output);
      if (written > 0) written = sink.emit(" = ", 3) ? sink.emit_str(value.get()) : -1;
      if (written != 0) return written > 0;
      sink.truncate(start);  // no UTF-8 form: build the str below
    }
    head = Ref::steal(PyNumber_Add(output, name(Name::equals)));
  } else {
    head = Ref::steal(PyNumber_Add(output, name(Name::equals)));
    value = head ? Ref::steal(PyObject_Str(data)) : Ref();
  }
  *literal = head && value ? Ref::steal(PyNumber_Add(head.get(), value.get())) : Ref();
  return static_cast<bool>(*literal);
}

// isinstance(data, dict)
int is_node(PyObject* data) {
  if (PyDict_Check(data)) return 1;
  if (PyUnicode_CheckExact(data) || PyType_CheckExact(data)) return 0;
  return PyObject_IsInstance(data, reinterpret_cast<PyObject*>(&PyDict_Type));
}

bool draw(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal, int depth) {
  const int present = PyObject_IsTrue(data);
  if (present <= 0) return present == 0;  // falsy data draws as ""
  const int node = is_node(data);
  if (node < 0) return false;
  return node ? draw_node(self, data, output, sink, literal, depth)
              : draw_leaf(data, output, sink, literal);
}

}  // namespace

PyObject* print_tree(PyObject* self, PyObject* data, PyObject* output) noexcept {
  return draw_apart(self, data, output, 0).release();
}

}  // namespace mirvak::render
