// What the companion programs share of their command lines: options
// wherever they stand, --help and --version, and the usage errors.
#pragma once

#include <cstddef>
#include <vector>

#include "platform/text.h"

// A companion's command line: options wherever they stand, up to "--",
// after which everything is a path ("-" alone is one too: standard input).
struct CompanionArguments {
  std::vector<NativeString> paths;
  bool dryRun = false;
  bool copy = false;  // tvtidy-link's --copy
  bool move = false;  // tvtidy-link's --move
  bool rename = false;  // tvtidy-link's --rename
  NativeString clash;  // options given together that cannot be
  NativeString helpOrVersion;  // the first of them given
  NativeString wrong;          // an option it does not take, or a path too many
};

CompanionArguments ReadCompanionArguments(bool takesDryRun, std::size_t mostPaths, bool takesCopy = false);

// --help and --version on standard output with status 0; false for any
// other argument.
bool AnswersHelpOrVersion(NativeStringView argument, NativeStringView program, NativeStringView usage,
                          NativeStringView about, NativeStringView statuses);

// "Unknown option: ..." or "Unexpected argument: ..." on standard error.
void SayWrongArgument(const NativeString& wrong);

extern const NativeStringView kCompanionStatuses;
