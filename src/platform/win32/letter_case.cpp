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
