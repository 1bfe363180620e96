// What tvtidy-undo reads: the lines a run of tvtidy or tvtidy-link prints,
// as saved, or as the system log keeps them.
#include <algorithm>

#include "undo/undo.h"
#include "platform/file_system.h"

namespace {

bool StartsWith(NativeStringView text, NativeStringView prefix) { return text.substr(0, prefix.size()) == prefix; }

// "Moved 12 files", "Linked 0 files" (a count past 2^31 wraps below zero).
bool IsSummary(NativeStringView line) {
  for (const NativeStringView prefix : {NATIVE("Moved "), NATIVE("Linked ")}) {
    if (!StartsWith(line, prefix) || line.size() < prefix.size() + 7) continue;
    NativeStringView count = line.substr(prefix.size(), line.size() - prefix.size() - 6);
    if (line.substr(line.size() - 6) != NATIVE(" files")) continue;
    if (!count.empty() && count.front() == NATIVE('-')) count.remove_prefix(1);
    if (!count.empty() && std::all_of(count.begin(), count.end(), IsAsciiDigit<NativeChar>)) return true;
  }
  return false;
}

// Lines that say nothing was done, or that only the run's standard error
// carries (a log kept with 2>&1): nothing to take back.
constexpr NativeStringView kNothingDone[] = {
    NATIVE("Skipped File: "),      NATIVE("Skipped Folder: "),    NATIVE("Move File FAILED: "),
    NATIVE("Create Folder FAILED: "), NATIVE("Link File FAILED: "), NATIVE("List Folder FAILED: "),
    NATIVE("Already Linked: "),    NATIVE("Maybe Linked: "),      NATIVE("Removed Folder: "),
    NATIVE("Already Copied: "),
    // Standard error's own lines, in a log kept with 2>&1.
    NATIVE("Old file kept as: "),  NATIVE("Old file put back: "), NATIVE("Copy kept as: "),
    NATIVE("File put back: "),     NATIVE("Finished replace: "),  NATIVE("Warning: "),
    NATIVE("The library was made: "), NATIVE("Waiting for another run "), NATIVE("Path not found: "),
    NATIVE("Path not specified"),   NATIVE("Hint: ")};

// Where " -> " stands between a link's two paths: the link ends in the
// source's own name. Each arrow is weighed once, by where the last
// delimiter before it stands, and only one at a name's length past that
// delimiter is compared with the line's end: a line of thousands of arrows
// is read in one pass.
size_t ArrowBetween(NativeStringView rest) {
  constexpr NativeStringView kArrow = NATIVE(" -> ");
  const size_t lastDelimiter = rest.find_last_of(kDelimiter);
  if (lastDelimiter == rest.npos) return rest.npos;
  const NativeStringView name = rest.substr(lastDelimiter + 1);  // the target's last name
  size_t delimiter = rest.npos;
  for (size_t at = 0; at + kArrow.size() <= rest.size(); ++at) {
    if (rest[at] == kDelimiter) delimiter = at;
    if (rest[at] != NATIVE(' ') || rest.compare(at, kArrow.size(), kArrow) != 0) continue;
    const size_t nameAt = delimiter == rest.npos ? 0 : delimiter + 1;
    if (at - nameAt == name.size() && at + kArrow.size() + name.size() < rest.size() &&
        rest.compare(nameAt, name.size(), name) == 0)
      return at;
  }
  // --rename: the name is "<show folder> - S01E05.mkv", in its show folder or
  // a season folder of it; the arrow is the last before that folder.
  const size_t dash = name.rfind(NATIVE(" - "));
  if (dash == name.npos || dash == 0) return rest.npos;
  const NativeStringView show = name.substr(0, dash);
  for (int up = 0, end = static_cast<int>(lastDelimiter); up < 2 && end > 0; ++up) {
    const size_t start = rest.find_last_of(kDelimiter, static_cast<size_t>(end) - 1);
    if (start == rest.npos) break;
    if (rest.substr(start + 1, static_cast<size_t>(end) - start - 1) == show) {
      const size_t arrow = rest.rfind(kArrow, start);
      return arrow != rest.npos && arrow + kArrow.size() <= start ? arrow : rest.npos;
    }
    end = static_cast<int>(start);
  }
  return rest.npos;
}

constexpr NativeStringView kLeadsTo = NATIVE(" (the file the link leads to: ");

NativeStringView Word(NativeStringView& rest) {
  const size_t end = std::min(rest.find(NATIVE(' ')), rest.size());
  const NativeStringView word = rest.substr(0, end);
  rest.remove_prefix(end);
  return word;
}

bool AllDigits(NativeStringView text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), IsAsciiDigit<NativeChar>);
}

// A line of the system log: "Dec  8 21:50:01 host tag[pid]: text" (syslog,
// journalctl) or "2026-12-08T21:50:01+0000 host tag: text" (ISO times).
// program: the tag without its process number; text: what it logged.
bool SystemLogLine(NativeStringView line, NativeStringView& program, NativeStringView& text) {
  NativeStringView rest = line;
  const NativeStringView first = Word(rest);
  if (first.size() == 3 && std::all_of(first.begin(), first.end(), [](NativeChar c) {
        return (c >= NATIVE('A') && c <= NATIVE('Z')) || (c >= NATIVE('a') && c <= NATIVE('z'));
      })) {
    while (StartsWith(rest, NATIVE(" "))) rest.remove_prefix(1);  // a day below 10 is padded
    if (!AllDigits(Word(rest))) return false;
    rest.remove_prefix(std::min<size_t>(1, rest.size()));
    const NativeStringView time = Word(rest);
    if (time.size() != 8 || time[2] != NATIVE(':') || time[5] != NATIVE(':')) return false;
  } else if (first.size() < 19 || !AllDigits(first.substr(0, 4)) || first[4] != NATIVE('-') ||
             first[10] != NATIVE('T')) {
    return false;
  }
  if (!StartsWith(rest, NATIVE(" "))) return false;
  rest.remove_prefix(1);
  if (Word(rest).empty() || !StartsWith(rest, NATIVE(" "))) return false;  // the host
  rest.remove_prefix(1);
  const size_t colon = rest.find(NATIVE(": "));
  if (colon == rest.npos) return false;
  program = rest.substr(0, colon);
  if (program.find(NATIVE(' ')) != program.npos) return false;
  text = rest.substr(colon + 2);
  const size_t bracket = program.find(NATIVE('['));
  if (bracket != program.npos) {
    if (program.back() != NATIVE(']') || !AllDigits(program.substr(bracket + 1, program.size() - bracket - 2)))
      return false;
    program = program.substr(0, bracket);
  }
  return true;
}

}  // namespace

bool Undo::Read(NativeStringView line) {
  static constexpr NativeStringView kMoved = NATIVE("Moved File: "), kLinked = NATIVE("Linked File: "),
                                    kCopied = NATIVE("Copied File: "), kCreated = NATIVE("Created Folder: ");
  // The journal's own lines ("-- Boot 4f2... --", "-- No entries --").
  if (StartsWith(line, NATIVE("-- ")) && line.size() >= 6 && line.substr(line.size() - 3) == NATIVE(" --"))
    return true;
  NativeStringView program, text;
  const bool logged = SystemLogLine(line, program, text);
  if (logged) {
    if (program != NATIVE("tvtidy") && program != NATIVE("tvtidy-link")) return true;  // another program's
    line = text;
  }
  if (StartsWith(line, kMoved)) {
    ours_ = true;
    // tvtidy-link --move names where the file went, tvtidy's show folder
    // follows from the name.
    const NativeStringView rest = line.substr(kMoved.size());
    const size_t arrow = ArrowBetween(rest);
    if (arrow == rest.npos) lines_.push_back({Line::Moved, NativeString(rest), {}, {}, {}});
    else lines_.push_back({Line::Moved, NativeString(rest.substr(0, arrow)), {}, {}, NativeString(rest.substr(arrow + 4))});
    return true;
  }
  if (StartsWith(line, kCreated)) {
    ours_ = true;
    lines_.push_back({Line::Created, NativeString(line.substr(kCreated.size())), {}, {}, {}});
    return true;
  }
  if (StartsWith(line, kLinked) || StartsWith(line, kCopied)) {
    const bool copied = StartsWith(line, kCopied);
    NativeStringView rest = line.substr(copied ? kCopied.size() : kLinked.size());
    Line link{copied ? Line::Copied : Line::Linked, {}, {}, {}, {}};
    anyCopy_ = anyCopy_ || copied;
    const size_t leads = rest.rfind(kLeadsTo);
    if (leads != rest.npos && rest.back() == NATIVE(')')) {
      link.file = rest.substr(leads + kLeadsTo.size(), rest.size() - leads - kLeadsTo.size() - 1);
      rest = rest.substr(0, leads);
    }
    // The link ends in the source's own name: that tells " -> " in a name
    // from the one between the two paths.
    const size_t arrow = ArrowBetween(rest);
    if (arrow == rest.npos) return logged;
    ours_ = true;
    link.source = rest.substr(0, arrow);
    link.path = rest.substr(arrow + 4);
    lines_.push_back(std::move(link));
    return true;
  }
  // From the system log, whatever else the programs said there (their
  // standard error, a dry run's lines) did nothing to take back.
  const bool nothingDone = IsSummary(line) || std::any_of(std::begin(kNothingDone), std::end(kNothingDone),
                                                           [&](NativeStringView prefix) { return StartsWith(line, prefix); });
  ours_ = ours_ || nothingDone;
  return logged || line.empty() || nothingDone;
}

bool Undo::AnyFolderThere(NativeString& first) const {
  first.clear();
  // The folder that holds a folder given with its delimiter.
  const auto parent = [](const NativeString& folder) {
    return FolderPartOf(NativeStringView(folder).substr(0, folder.size() - 1));
  };
  for (const Line& line : lines_) {
    // The folder the run went through, and for a link the library too.
    const bool link = line.kind == Line::Linked || line.kind == Line::Copied;
    const NativeString folders[] = {FolderPartOf(link ? line.source : line.path),
                                    link ? parent(FolderPartOf(line.path)) : NativeString()};
    for (const NativeString& folder : folders) {
      if (folder.empty()) continue;
      if (first.empty()) first = folder;
      if (FolderExists(folder)) return true;
    }
  }
  return lines_.empty();
}

NativeString Undo::FirstRestoreFolder() const {
  for (const Line& line : lines_)
    if (line.kind == Line::Moved) return FolderPartOf(line.path);
  return {};
}
