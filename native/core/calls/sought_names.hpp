// The names the calls look for among an instance dictionary's keys: the methods', then the
// attributes' the registry reads.
#pragma once

#include "support/methods.hpp"
#include "support/names.hpp"

namespace mirvak::calls {

// The attributes the registry reads of an instance, numbered.
constexpr int kReadAttributeCount = 3;
constexpr Name kReadAttributes[kReadAttributeCount] = {Name::plugins_attr, Name::supported_os,
                                                       Name::chassis_type_list};
constexpr int attribute_slot(Name attribute) noexcept {
  switch (attribute) {
    case Name::plugins_attr:
      return 0;
    case Name::supported_os:
      return 1;
    case Name::chassis_type_list:
      return 2;
    default:
      return -1;
  }
}
static_assert(attribute_slot(kReadAttributes[0]) == 0 && attribute_slot(kReadAttributes[1]) == 1 &&
                  attribute_slot(kReadAttributes[2]) == 2,
              "the attributes in the order of their slots");

// What a sought name is: a method (its index, below support::method_count), or an attribute read
// (support::method_count + its slot).
constexpr int kSoughtCount = support::method_count + kReadAttributeCount;

// The index of the sought name that `key` (an exact str) equals, or -1.  No Python code runs.
int sought_index(PyObject* key) noexcept;

}  // namespace mirvak::calls
