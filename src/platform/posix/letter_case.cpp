#include <algorithm>
#include <stdlib.h>
#include <utf8proc.h>

#include "platform/letter_case.h"

namespace {

bool IsValidUtf8(NativeStringView text) {
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (size_t at = 0; at < text.size();) {
    utf8proc_int32_t point;
    const utf8proc_ssize_t used =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &point);
    if (used <= 0) return false;
    at += static_cast<size_t>(used);
  }
  return true;
}

}  // namespace

int CompareIgnoringCase(NativeStringView a, NativeStringView b) {
  // Names that are not UTF-8 compare byte for byte, after all those that are:
  // one order over both kinds, as sorted containers need.
  const bool validA = IsValidUtf8(a), validB = IsValidUtf8(b);
  if (validA != validB) return validA ? -1 : 1;
  if (!validA) {
    const int bytes = a.compare(b);
    return (bytes > 0) - (bytes < 0);
  }
  const auto* left = reinterpret_cast<const utf8proc_uint8_t*>(a.data());
  const auto* right = reinterpret_cast<const utf8proc_uint8_t*>(b.data());
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    utf8proc_int32_t p, q;
    i += static_cast<size_t>(utf8proc_iterate(left + i, static_cast<utf8proc_ssize_t>(a.size() - i), &p));
    j += static_cast<size_t>(utf8proc_iterate(right + j, static_cast<utf8proc_ssize_t>(b.size() - j), &q));
    p = utf8proc_toupper(p);
    q = utf8proc_toupper(q);
    if (p != q) return p < q ? -1 : 1;
  }
  return (i < a.size()) - (j < b.size());
}

void CaseKeyOf(NativeStringView name, NativeString& key) {
  key.clear();
  // Most names are ASCII: their key needs no table.
  if (std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
    key.push_back('\0');
    for (const char c : name) key.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
    return;
  }
  if (!IsValidUtf8(name)) {
    key.push_back('\1');  // after every valid name, as above
    key.append(name);
    return;
  }
  // UTF-8 keeps the order of code points: the keys compare byte for byte.
  key.push_back('\0');
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(name.data());
  for (size_t at = 0; at < name.size();) {
    utf8proc_int32_t point;
    at += static_cast<size_t>(utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(name.size() - at), &point));
    utf8proc_uint8_t encoded[4];
    const utf8proc_ssize_t used = utf8proc_encode_char(utf8proc_toupper(point), encoded);
    key.append(reinterpret_cast<const char*>(encoded), static_cast<size_t>(used));
  }
}

int CompareCaseKeys(NativeStringView a, NativeStringView b) {
  const int bytes = a.compare(b);
  return (bytes > 0) - (bytes < 0);
}

void ComposedForm(NativeStringView name, NativeString& composed) {
  composed.assign(name);
  if (std::all_of(name.begin(), name.end(), [](char c) { return UnitValue(c) < 0x80; })) return;  // its own form
  if (!IsValidUtf8(name)) return;
  utf8proc_uint8_t* result = utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(composed.c_str()));
  if (result == nullptr) return;
  composed.assign(reinterpret_cast<const char*>(result));
  free(result);
}

std::size_t ColumnsOf(NativeStringView text) {
  std::size_t columns = 0;
  const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
  for (size_t at = 0; at < text.size();) {
    utf8proc_int32_t point;
    const utf8proc_ssize_t used =
        utf8proc_iterate(bytes + at, static_cast<utf8proc_ssize_t>(text.size() - at), &point);
    if (used <= 0) {
      ++columns;
      ++at;
      continue;
    }
    at += static_cast<size_t>(used);
    columns += static_cast<std::size_t>(std::max(utf8proc_charwidth(point), 0));
  }
  return columns;
}
