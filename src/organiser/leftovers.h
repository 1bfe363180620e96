// What a run stopped in the middle of a replace (kill -9, a power loss)
// leaves in a show folder: the old file under a hidden name. The hidden name
// says the file's own name where it fits, so that the next run that reaches
// the folder can put the file back.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/text.h"

// The hidden name an old file waits under while it is replaced, beside
// `own`: the aside prefix, six random letters and, where the name still
// fits (255 units, and on Windows the whole path within 260), "-" and the
// file's own name.
void AsideNameFor(const NativeString& own, NativeString& aside);

// The own name that an aside's name says; empty where it says none.
NativeStringView OwnNameInAside(NativeStringView name);

struct Leftover {
  NativeString aside;     // its path now
  NativeString own;       // the path it goes back to; empty where unknown
  bool goesBack = false;  // the own name is known and free
  std::uint64_t size = 0;
};

// The old files set aside in the show folder (with its delimiter) by a run
// that did not finish, and what the next run does with each.
std::vector<Leftover> LeftoversIn(const NativeString& showFolder);

// The line on standard error for one that stays: where it is and its size.
NativeString KeptLeftoverNotice(const Leftover& leftover);
