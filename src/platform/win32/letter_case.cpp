#include <windows.h>

#include "platform/letter_case.h"

int CompareIgnoringCase(NativeStringView a, NativeStringView b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

// The system's own comparison decides: the key is the name.
void CaseKeyOf(NativeStringView name, NativeString& key) { key.assign(name); }
int CompareCaseKeys(NativeStringView a, NativeStringView b) { return CompareIgnoringCase(a, b); }

// Names written on a Mac arrive decomposed (NFD): the system composes them.
void ComposedForm(NativeStringView name, NativeString& composed) {
  composed.assign(name);
  if (name.empty()) return;
  const int length = static_cast<int>(name.size());
  const int size = NormalizeString(NormalizationC, name.data(), length, nullptr, 0);
  if (size <= 0) return;
  NativeString normal(static_cast<size_t>(size), L'\0');
  const int made = NormalizeString(NormalizationC, name.data(), length, normal.data(), size);
  if (made <= 0) return;  // not valid UTF-16: the name as it is
  normal.resize(static_cast<size_t>(made));
  composed.swap(normal);
}

// The console's own rule, near enough: the wide blocks of East Asian
// scripts two columns, combining accents none, a surrogate pair once.
std::size_t ColumnsOf(NativeStringView text) {
  std::size_t columns = 0;
  for (const wchar_t unit : text) {
    if ((unit >= 0xDC00 && unit < 0xE000) || (unit >= 0x0300 && unit < 0x0370)) continue;
    const bool wide = (unit >= 0x1100 && unit < 0x1160) || (unit >= 0x2E80 && unit < 0xA4D0) ||
                      (unit >= 0xAC00 && unit < 0xD7A4) || (unit >= 0xF900 && unit < 0xFB00) ||
                      (unit >= 0xFE30 && unit < 0xFE50) || (unit >= 0xFF00 && unit < 0xFF61) ||
                      (unit >= 0xFFE0 && unit < 0xFFE7);
    columns += wide ? 2 : 1;
  }
  return columns;
}
