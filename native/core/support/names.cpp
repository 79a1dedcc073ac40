// Interned strings, one per Name, kept for the life of the process.
#include "support/names.hpp"

namespace mirvak::names {
namespace {

constexpr const char* kTexts[] = {
#define MIRVAK_NAME_TEXT(id, text) text,
    MIRVAK_NAMES(MIRVAK_NAME_TEXT)
#undef MIRVAK_NAME_TEXT
};

PyObject* g_strings[static_cast<int>(Name::count_)];

}  // namespace

bool init() noexcept {
  for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
    if (g_strings[i] == nullptr &&
        (g_strings[i] = PyUnicode_InternFromString(kTexts[i])) == nullptr)
      return false;
  }
  return true;
}

PyObject* get(Name n) noexcept {
  return g_strings[static_cast<int>(n)];
}

}  // namespace mirvak::names
