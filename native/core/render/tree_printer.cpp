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
#include "calls/self_call.hpp"
#include "cpython/free_threading.hpp"
#include "cpython/handled_exception.hpp"
#include "cpython/recursion.hpp"
#include "registry/tree.hpp"
#include "render/render.hpp"
#include "render/sink.hpp"
#include "support/call.hpp"
#include "support/text.hpp"

namespace mirvak::render {
namespace {

calls::KeywordNames g_print_tree_keywords{Name::data, Name::output};

// `key == last_key`, as a truth value.  Two exact strs compare without running Python code.
bool exact_texts(PyObject* key, PyObject* last_key) {
  return PyUnicode_CheckExact(key) && PyUnicode_CheckExact(last_key);
}

int same_key(PyObject* key, PyObject* last_key) {
  if (exact_texts(key, last_key)) return key == last_key || PyUnicode_Compare(key, last_key) == 0;
  return support::truth(Ref::steal(PyObject_RichCompare(key, last_key, Py_EQ)));
}

// `list(data.keys())`.  For an exact dict the method runs no Python code.
Ref listed_keys(PyObject* data) {
  if (PyDict_CheckExact(data)) return Ref::steal(PyDict_Keys(data));
  Ref keys = Ref::steal(PyObject_CallMethodNoArgs(data, name(Name::keys)));
  return keys ? Ref::steal(PySequence_List(keys.get())) : Ref();
}

// Exact strs compare without running Python code and without failing.
bool all_exact_texts(PyObject* list) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i)
    if (!PyUnicode_CheckExact(PyList_GET_ITEM(list, i))) return false;
  return true;
}

// `sorted(keys)`; keys that cannot be ordered among themselves are ordered by their text
// instead, in an except block: the same listed keys sorted with `key=str`.  The first sort
// works on a copy, since a sort that fails leaves its list in an order of its own; only keys
// whose comparisons cannot fail are sorted in place.
Ref sort_keys(PyObject* data) {
  Ref listed = listed_keys(data);
  if (!listed) return Ref();
  if (all_exact_texts(listed.get()))
    return PyList_Sort(listed.get()) == 0 ? std::move(listed) : Ref();
  Ref sorted = Ref::steal(PyList_GetSlice(listed.get(), 0, PyList_GET_SIZE(listed.get())));
  if (!sorted || PyList_Sort(sorted.get()) == 0) return sorted;
  return cpython::on_exception(PyExc_TypeError, [&]() -> Ref {
    Ref sort = Ref::steal(PyObject_GetAttr(listed.get(), name(Name::sort)));
    Ref done = sort ? support::call_keywords(
                          sort.get(), {reinterpret_cast<PyObject*>(&PyUnicode_Type)}, {Name::key})
                    : Ref();
    return done ? std::move(listed) : Ref();
  });
}

// The sort, once there is room for its comparisons below the recursion limit and on the C
// stack: a comparison takes a level of its own, and a debug interpreter re-checks the sort's
// string comparisons with full ones, asserting that they cannot fail.
Ref sorted_keys(PyObject* data) {
  if (cpython::stack_exhausted(true) || Py_EnterRecursiveCall(" while drawing a tree"))
    return Ref();
  bool room = true;
  if (cpython::kSortLevels > 1) {
    room = Py_EnterRecursiveCall(" while drawing a tree") == 0;
    if (room) Py_LeaveRecursiveCall();
  }
  Py_LeaveRecursiveCall();
  return room ? sort_keys(data) : Ref();
}

// "__ " + key; a key that is not text is shown through str().
Ref child_label(PyObject* key, bool text) {
  Ref shown = text ? Ref::borrow(key) : Ref::steal(PyObject_Str(key));
  return shown ? Ref::steal(PyNumber_Add(name(Name::branch), shown.get())) : Ref();
}

bool draw(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal);

// A child drawn on its own, as a str or whatever an override returned.
Ref draw_apart(PyObject* self, PyObject* data, PyObject* label) {
  Sink sink;
  Ref literal;
  if (!draw(self, data, label, sink, &literal)) return Ref();
  return literal ? std::move(literal) : sink.to_str();
}

// One level of the drawing.  It writes into the sink while every piece is an ordinary str;
// after that its text is the Python object `output`.
class Level {
 public:
  Level(PyObject* self, Sink& sink) : self_(self), sink_(sink) {}

  bool start(PyObject* label) {
    start_ = sink_.size();
    if (PyUnicode_CheckExact(label)) {
      const int written = sink_.emit_str(label);
      if (written != 0) return written > 0;
    }
    output_ = Ref::borrow(label);
    return true;
  }

  // `self.print_tree(data=data[key], output="__ " + key)` (or `"__ " + str(key)` for a key
  // that is not a str), then the child's lines.
  bool add_child(PyObject* data, PyObject* key, PyObject* last_key) {
    const int text_key = support::is_str(key);
    if (text_key < 0) return false;
    calls::Found found = calls::find(self_, support::Method::print_tree);
    Ref child = found.how != calls::Found::How::failed ? registry::item(data, key) : Ref();
    Ref label = child ? child_label(key, text_key) : Ref();
    if (!label || cpython::stack_exhausted()) return false;
    calls::confirm_own(&found, support::Method::print_tree);  // the arguments may have run code
    const bool own = found.how == calls::Found::How::own;
    if (own && !output_ && exact_texts(key, last_key)) {
      // Comparing exact strs runs no Python code: the child's place is known beforehand.
      const int last = same_key(key, last_key);
      return last >= 0 && add_own(key, last_key, last, child.get(), label.get());
    }
    Ref text = own ? draw_own(child.get(), label.get(), nullptr)
                   : call_override(found, child.get(), label.get());
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
  // `self.print_tree(data=child, output=label)` through an override.
  Ref call_override(const calls::Found& found, PyObject* child, PyObject* label) {
    PyObject* kwnames = g_print_tree_keywords.get();
    PyObject* argv[] = {nullptr, self_, child, label};
    return kwnames ? calls::call_found(found, argv, 2, kwnames) : Ref();
  }

  // This method drawing a child, one level deeper as its call would be: into the sink under the
  // child's prefix, or on its own.
  Ref draw_own(PyObject* child, PyObject* label, bool* in_sink) {
    cpython::PythonLevel level;
    if (!level) return Ref();
    Ref result;
    if (in_sink == nullptr) {
      result = draw_apart(self_, child, label);
    } else {
      *in_sink = draw(self_, child, label, sink_, &result);
    }
    return result;
  }

  // The first line's mark: "\n  |", or "\n  " where the repeated `key == last_key` (which
  // only a key that is not an exact str can answer differently) says otherwise.
  int first_line_bar(PyObject* key, PyObject* last_key, int last) {
    const int again = exact_texts(key, last_key) ? last : same_key(key, last_key);
    return again < 0 ? -1 : (again || !last);
  }

  // The child's first-line mark, then `write` under the child's prefix.  `write` answers 1
  // written, 0 when the text is not an ordinary str, -1 on error; on 0 the mark is taken back.
  template <typename Write>
  int write_child(int bar, int last, Write write) {
    const Py_ssize_t before_mark = sink_.size();
    if (!sink_.emit(bar ? "\n  |" : "\n  ", bar ? 4 : 3)) return -1;
    const Py_ssize_t mark = sink_.push(last);
    if (mark < 0) return -1;
    const int written = write();
    sink_.pop(mark);
    if (written == 0) sink_.truncate(before_mark);
    return written;
  }

  // A child this method draws, straight into the sink.
  bool add_own(PyObject* key, PyObject* last_key, int last, PyObject* child, PyObject* label) {
    const int bar = first_line_bar(key, last_key, last);
    if (bar < 0) return false;
    Ref literal;
    const int written = write_child(bar, last, [&] {
      bool drawn = false;
      literal = draw_own(child, label, &drawn);
      if (!drawn) return -1;
      if (!literal) return 1;
      return PyUnicode_CheckExact(literal.get()) ? sink_.emit_str(literal.get()) : 0;
    });
    if (written != 0) return written > 0;
    return to_literal() && add_lines(key, last_key, literal.get(), last, bar);
  }

  // A child's finished text: written under the child's prefix when it is an ordinary str.
  bool add_text(PyObject* key, PyObject* last_key, int last, PyObject* text) {
    int bar = -1;
    if (PyUnicode_CheckExact(text)) {
      bar = first_line_bar(key, last_key, last);
      if (bar < 0) return false;
      const int written = write_child(bar, last, [&] { return sink_.emit_str(text); });
      if (written != 0) return written > 0;
    }
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
  Py_ssize_t start_ = 0;
  Ref output_;  // set once the level works on Python objects
};

bool draw_node(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal) {
  Ref keys = sorted_keys(data);
  if (!keys) return false;
  const Py_ssize_t count = PyList_GET_SIZE(keys.get());
  // Without the GIL a dict found not empty and listed empty was emptied by another thread
  // meanwhile: it is drawn as the empty node it has become.
  if (cpython::kFreeThreaded && count == 0 && PyDict_CheckExact(data) && PyDict_GET_SIZE(data) == 0)
    return true;
  if (count == 0) {
    PyErr_SetString(PyExc_IndexError, "list index out of range");
    return false;
  }
  Ref last_key = cpython::list_item(keys.get(), count - 1);
  if (!last_key) return false;
  Level level(self, sink);
  if (!level.start(output)) return false;
  // `for key in sorted_keys`: each step runs Python code that may reach the list and change it,
  // so its length is read afresh at every step, as the list's iterator does.
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    Ref key = cpython::list_item(keys.get(), i);
    if (!key || !level.add_child(data, key.get(), last_key.get())) return false;
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

bool draw(PyObject* self, PyObject* data, PyObject* output, Sink& sink, Ref* literal) {
  const int present = PyObject_IsTrue(data);
  if (present <= 0) return present == 0;  // falsy data draws as ""
  const int node = is_node(data);
  if (node < 0) return false;
  return node ? draw_node(self, data, output, sink, literal)
              : draw_leaf(data, output, sink, literal);
}

}  // namespace

PyObject* print_tree(PyObject* self, PyObject* data, PyObject* output) noexcept {
  return draw_apart(self, data, output).release();
}

}  // namespace mirvak::render
