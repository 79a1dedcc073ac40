// The manager's representation: a label naming the class and the instance, followed by the
// drawing of the whole registry tree.
#include "render/render.hpp"
#include "support/call.hpp"
#include "support/methods.hpp"

namespace mirvak::render {
namespace {

constexpr const char kLabel[] = "plugins (%S at %S) ";

// "plugins (" + str(self.__class__) + " at " + str(hex(id(self))) + ") "
Ref label(PyObject* self) {
  Ref cls = Ref::steal(PyObject_GetAttr(self, name(Name::dunder_class)));
  Ref cls_text = cls ? Ref::steal(PyObject_Str(cls.get())) : Ref();
  Ref identity = cls_text ? Ref::steal(PyLong_FromVoidPtr(self)) : Ref();
  Ref hex = identity ? Ref::steal(PyNumber_ToBase(identity.get(), 16)) : Ref();
  return hex ? Ref::steal(PyUnicode_FromFormat(kLabel, cls_text.get(), hex.get())) : Ref();
}

}  // namespace

PyObject* repr(PyObject* self) noexcept {
  Ref output = label(self);
  if (!output) return nullptr;
  auto found = support::find_method(self, Name::print_tree, support::Method::print_tree);
  Ref tree = found.callable ? Ref::steal(PyObject_GetAttr(self, name(Name::plugins_attr))) : Ref();
  if (!tree) return nullptr;
  if (found.ours) return print_tree(self, tree.get(), output.get());
  return support::call_keywords(found.callable.get(), {tree.get(), output.get()},
                                {Name::data, Name::output})
      .release();
}

}  // namespace mirvak::render
