// Interned strings, one per Name, kept while the module lives.
#include "support/names.hpp"

#include "support/lifetime.hpp"

namespace mirvak::names {
namespace {

constexpr const char* kTexts[] = {
#define MIRVAK_NAME_TEXT(id, text) text,
    MIRVAK_NAMES(MIRVAK_NAME_TEXT)
#undef MIRVAK_NAME_TEXT
};

support::Retained g_strings[static_cast<int>(Name::count_)];

}  // namespace

bool init() noexcept {
  for (int i = 0; i < static_cast<int>(Name::count_); ++i) {
    if (g_strings[i]) continue;
    g_strings[i].reset(PyUnicode_InternFromString(kTexts[i]));
    if (!g_strings[i]) return false;
  }
  return true;
}

PyObject* get(Name n) noexcept {
  return g_strings[static_cast<int>(n)].get();
}

}  // namespace mirvak::names
