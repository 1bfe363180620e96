#include <windows.h>

#include "platform/letter_case.h"

int CompareIgnoringCase(NativeStringView a, NativeStringView b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) - CSTR_EQUAL;
}

// The system's own comparison decides: the key is the name.
void CaseKeyOf(NativeStringView name, NativeString& key) { key.assign(name); }
int CompareCaseKeys(NativeStringView a, NativeStringView b) { return CompareIgnoringCase(a, b); }

void ComposedForm(NativeStringView name, NativeString& composed) { composed.assign(name); }
