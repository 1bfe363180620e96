// Letter case as the file systems that ignore it see names.
#pragma once

#include <cstddef>

#include "platform/text.h"

// Below, equal to or above zero as a is before, one with or after b, with
// letter case ignored as NTFS and exFAT ignore it: Unicode simple case
// mapping, one code point to one. On POSIX a name that is not valid UTF-8
// compares byte for byte, and after every valid one, so that the order is
// one order over all names; on Windows the system compares
// (CompareStringOrdinal).
int CompareIgnoringCase(NativeStringView a, NativeStringView b);

// A name's key with letter case ignored, into key: keys compared with
// CompareCaseKeys order names as CompareIgnoringCase does, at the cost of a
// plain comparison where the platform allows (POSIX: the upper-cased name,
// or the bytes after a mark for one that is not UTF-8; Windows: the name,
// which the system compares).
void CaseKeyOf(NativeStringView name, NativeString& key);
int CompareCaseKeys(NativeStringView a, NativeStringView b);

// The name in Unicode's composed form (NFC), so that two names that differ
// only in how their accents are encoded compare equal; a name that is not
// UTF-8 (POSIX) or not valid UTF-16 (Windows, NormalizeString) stays as it is.
void ComposedForm(NativeStringView name, NativeString& composed);

// The columns a terminal gives the text, as Unicode's East Asian widths have
// it (a wide letter two, a combining mark none); one for a byte that is not
// UTF-8, which a terminal-safe text shows as "?". Windows: one per code point.
std::size_t ColumnsOf(NativeStringView text);

struct IgnoringCaseLess {
  using is_transparent = void;
  bool operator()(NativeStringView a, NativeStringView b) const {
    return CompareIgnoringCase(a, b) < 0;
  }
};
