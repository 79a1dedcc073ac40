// The manager's representation: a label naming the class and the instance, followed by the
// drawing of the whole registry tree.
#include "calls/self_call.hpp"
#include "render/render.hpp"
#include "support/text.hpp"

namespace mirvak::render {
namespace {

support::StaticText kLabel[] = {support::StaticText("plugins ("), support::StaticText(" at "),
                                support::StaticText(") ")};
calls::KeywordNames g_keywords{Name::data, Name::output};

// "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
Ref label(PyObject* self) {
  support::Sum output;
  Ref cls = Ref::steal(PyObject_GetAttr(self, name(Name::dunder_class)));
  output.add(kLabel[0].get()).add_str_of(cls.get()).add(kLabel[1].get());
  if (!output.ok()) return Ref();
  Ref identity = Ref::steal(PyLong_FromVoidPtr(self));
  Ref hex = identity ? Ref::steal(PyNumber_ToBase(identity.get(), 16)) : Ref();
  return output.add_str_of(hex.get()).add(kLabel[2].get()).result();
}

}  // namespace

// `return self.print_tree(data=self._plugins, output=output)`: the method is looked up before
// the tree is read.
PyObject* repr(PyObject* self) noexcept {
  Ref output = label(self);
  if (!output) return nullptr;
  calls::Found found = calls::find(self, support::Method::print_tree);
  if (found.how == calls::Found::How::failed) return nullptr;
  Ref tree = Ref::steal(PyObject_GetAttr(self, name(Name::plugins_attr)));
  if (!tree) return nullptr;
  calls::confirm_own(&found, support::Method::print_tree);  // reading the tree may have run code
  if (found.how == calls::Found::How::own)
    return calls::run_own(print_tree, self, tree.get(), output.get()).release();
  PyObject* kwnames = g_keywords.get();
  PyObject* argv[] = {nullptr, self, tree.get(), output.get()};
  return kwnames ? calls::call_found(found, argv, 2, kwnames).release() : nullptr;
}

}  // namespace mirvak::render
