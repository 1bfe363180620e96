#include "core/journal.h"

#include <unordered_map>
#include <utility>

#include "platform/file_system.h"

namespace {

// The batch goes out once it holds this much: a write per dozen moves or so,
// so that a run killed loses few from its record, at a small cost per move.
constexpr std::size_t kBatchBytes = 2048;

constexpr const char* kHex = "0123456789abcdef";

void Escaped(unsigned long unit, std::string& out) {
  out.push_back('%');
  if (unit > 0xFF) out.push_back('u');
  for (int shift = unit > 0xFF ? 12 : 4; shift >= 0; shift -= 4) out.push_back(kHex[(unit >> shift) & 0xF]);
}

// A name as one field: a person reads it as it is (a Windows path keeps its
// backslashes), and no name can make a record of its own: a control
// character (a line break, a tab) and "%" itself are written "%" and two
// hex digits. On Windows UTF-8, with a lone surrogate as %uXXXX: nothing is
// lost.
void AppendField(NativeStringView text, std::string& out) {
  out.reserve(out.size() + text.size());
  for (size_t at = 0; at < text.size(); ++at) {
    // A run of plain ASCII, the most of every name, in one append.
    size_t plain = at;
    while (plain < text.size() && UnitValue(text[plain]) >= 0x20 && UnitValue(text[plain]) < 0x7F &&
           text[plain] != '%')
      ++plain;
#ifdef _WIN32
    for (size_t unit = at; unit < plain; ++unit) out.push_back(static_cast<char>(text[unit]));
#else
    out.append(text.data() + at, plain - at);
#endif
    if ((at = plain) == text.size()) break;
    const unsigned long unit = UnitValue(text[at]);
    if (unit < 0x20 || unit == 0x7F || unit == '%') {
      Escaped(unit, out);
    } else if (sizeof(NativeChar) == 1 || unit < 0x80) {
      out.push_back(static_cast<char>(unit));
    } else if (unit < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (unit >> 6)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    } else if (unit >= 0xD800 && unit < 0xDC00 && at + 1 < text.size() && UnitValue(text[at + 1]) >= 0xDC00 &&
               UnitValue(text[at + 1]) < 0xE000) {
      const unsigned long code = 0x10000 + ((unit - 0xD800) << 10) + (UnitValue(text[++at]) - 0xDC00);
      out.push_back(static_cast<char>(0xF0 | (code >> 18)));
      out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
    } else if (unit >= 0xD800 && unit < 0xE000) {
      Escaped(unit, out);
    } else {
      out.push_back(static_cast<char>(0xE0 | (unit >> 12)));
      out.push_back(static_cast<char>(0x80 | ((unit >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (unit & 0x3F)));
    }
  }
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void PushCode(unsigned long code, NativeString& out) {
  if (sizeof(NativeChar) == 2 && code >= 0x10000) {
    out.push_back(static_cast<NativeChar>(0xD800 + ((code - 0x10000) >> 10)));
    out.push_back(static_cast<NativeChar>(0xDC00 + ((code - 0x10000) & 0x3FF)));
  } else {
    out.push_back(static_cast<NativeChar>(code));
  }
}

// The field back as the name it was; false for one no journal writes.
bool ReadField(std::string_view field, NativeString& out) {
  out.clear();
  for (size_t at = 0; at < field.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(field[at]);
    if (c == '%') {
      const bool wide = at + 1 < field.size() && field[at + 1] == 'u';
      const size_t digits = wide ? 4 : 2, from = at + (wide ? 2 : 1);
      if (from + digits > field.size()) return false;
      unsigned long unit = 0;
      for (size_t d = 0; d < digits; ++d) {
        const int value = HexValue(field[from + d]);
        if (value < 0) return false;
        unit = unit * 16 + static_cast<unsigned long>(value);
      }
      at = from + digits - 1;
      out.push_back(static_cast<NativeChar>(unit));
    } else if (sizeof(NativeChar) == 1 || c < 0x80) {
      out.push_back(static_cast<NativeChar>(c));
    } else {
      const int more = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
      if (more < 0 || at + static_cast<size_t>(more) >= field.size()) return false;
      unsigned long code = c & (0x3F >> more);
      for (int k = 0; k < more; ++k) code = (code << 6) | (static_cast<unsigned char>(field[++at]) & 0x3F);
      PushCode(code, out);
    }
  }
  return true;
}

bool IsAbsolute(NativeStringView path) {
#ifdef _WIN32
  return (path.size() > 1 && path[1] == L':') || path.substr(0, 2) == L"\\\\";
#else
  return !path.empty() && path[0] == '/';
#endif
}

NativeString Number(std::uint64_t value) {
  const std::string digits = std::to_string(value);
  return NativeString(digits.begin(), digits.end());
}

std::uint64_t NumberIn(const NativeString& field) {
  std::uint64_t value = 0;
  for (const NativeChar c : field)
    if (IsAsciiDigit(c)) value = value * 10 + static_cast<std::uint64_t>(c - NATIVE('0'));
  return value;
}

}  // namespace

bool IsJournalName(NativeStringView name) {
  return name.substr(0, kJournalName.size()) == kJournalName &&
         (name.size() == kJournalName.size() || name.substr(kJournalName.size()) == NATIVE(".1"));
}

std::string JournalLine(std::string_view verb, const std::vector<NativeString>& fields) {
  std::string line(verb);
  for (const NativeString& field : fields) {
    line.push_back('\t');
    AppendField(field, line);
  }
  line.push_back('\n');
  return line;
}

bool ReadJournalLine(std::string_view line, std::string& verb, std::vector<NativeString>& fields) {
  fields.clear();
  size_t tab = line.find('\t');
  verb.assign(line.substr(0, tab));
  while (tab != line.npos) {
    const size_t next = line.find('\t', tab + 1);
    fields.emplace_back();
    if (!ReadField(line.substr(tab + 1, next == line.npos ? line.npos : next - tab - 1), fields.back()))
      return false;
    tab = next;
  }
  return !verb.empty();
}

RunJournal::RunJournal(const NativeString& folder, NativeStringView program, bool forWriting)
    : folder_(folder), file_(NativeString(folder).append(kJournalName), forWriting), writing_(forWriting) {
  Read();
  if (writing_) Record("run", {NativeString(program)}, true);
}

RunJournal::~RunJournal() {
  if (writing_) Record("end", {}, true);
}

NativeString RunJournal::Relative(const NativeString& path) const {
  if (path.size() > folder_.size() && path.compare(0, folder_.size(), folder_) == 0) return path.substr(folder_.size());
  NativeString full;
  int code = 0;
  FullPathName(path, full, code);
  return full.empty() ? path : full;
}

NativeString RunJournal::Resolved(const NativeString& field) const {
  return IsAbsolute(field) ? field : NativeString(folder_).append(field);
}

// Replays every whole line: what was begun and not settled is left. A line
// cut short (the last of a run that was killed mid-write) is passed over.
void RunJournal::Read() {
  std::string bytes;
  if (!file_.ReadAll(bytes)) return;
  std::unordered_map<NativeString, size_t> open;  // by the path as recorded
  std::vector<Unfinished> items;
  std::vector<NativeString> keys;
  std::string verb;
  std::vector<NativeString> fields;
  bool linkRun = false, newRun = false;
  for (size_t start = 0, end; (end = bytes.find('\n', start)) != bytes.npos; start = end + 1) {
    if (!ReadJournalLine(std::string_view(bytes).substr(start, end - start), verb, fields) || fields.empty())
      continue;
    // The changes of the last run that made any, as its lines say them: a
    // run that found nothing to do (a hook fired twice) leaves the one
    // before it to be taken back.
    if (verb == "run" && (fields[0] == NATIVE("tvtidy") || fields[0] == NATIVE("tvtidy-link"))) {
      newRun = anyRun_ = true;
      linkRun = fields[0] == NATIVE("tvtidy-link");
    }
    const auto said = [&](NativeString line) {
      if (std::exchange(newRun, false)) lastRun_.clear();
      lastRun_.push_back(std::move(line));
    };
    if (verb == "folder") said(NativeString(NATIVE("Created Folder: ")).append(Resolved(fields[0])));
    // tvtidy-link --move says where each file went: its show folder is the library's.
    if (verb == "moved")
      said(NativeString(NATIVE("Moved File: "))
               .append(Resolved(fields[0]))
               .append(linkRun && fields.size() == 2 ? NATIVE(" -> ") + Resolved(fields[1]) : NativeString()));
    if ((verb == "linked" || verb == "copied") && fields.size() == 2)
      said(NativeString(verb == "linked" ? NATIVE("Linked File: ") : NATIVE("Copied File: "))
               .append(Resolved(fields[0]))
               .append(NATIVE(" -> "))
               .append(Resolved(fields[1])));
    const auto found = open.find(fields[0]);
    if (verb == "settled" || verb == "arrived" || verb == "unwinding") {
      if (found == open.end()) continue;
      if (verb == "settled") open.erase(found);
      else items[found->second].arrived = verb == "arrived";
      continue;
    }
    Unfinished item;
    if (verb == "aside" && (fields.size() == 4 || fields.size() == 5)) {
      item.kind = InFlightKind::Aside;
      if (fields.size() == 5) item.copy = Resolved(fields[4]);
      item.stamped = !fields[2].empty();
      item.stamp = {NumberIn(fields[2]), static_cast<std::int64_t>(NumberIn(fields[3]))};
    } else if (verb == "copy" && fields.size() == 2) {
      item.kind = InFlightKind::Copy;
    } else if (verb == "gone" && fields.size() == 3) {
      item.kind = InFlightKind::Gone;
      item.copy = Resolved(fields[2]);
    } else if (verb == "placeholder" && fields.size() == 2) {
      item.kind = InFlightKind::Placeholder;
    } else {
      continue;
    }
    item.path = Resolved(fields[0]);
    item.of = Resolved(fields[1]);
    open[fields[0]] = items.size();
    items.push_back(std::move(item));
    keys.push_back(fields[0]);
  }
  for (size_t at = 0; at < items.size(); ++at) {
    const auto found = open.find(keys[at]);
    if (found != open.end() && found->second == at) left_.push_back(std::move(items[at]));
  }
  done_.assign(left_.size(), false);
}

void RunJournal::Record(std::string_view verb, const std::vector<NativeString>& fields, bool now) {
  if (!writing_ || !file_.IsOpen()) return;
  batch_.append(JournalLine(verb, fields));
  if (now || batch_.size() >= kBatchBytes) Flush();
}

void RunJournal::Flush() {
  if (batch_.empty()) return;
  file_.Append(batch_);
  batch_.clear();
}

// One form for an item, whether it is begun now or carried into a journal
// started anew.
void RunJournal::RecordItem(const Unfinished& item, bool now) {
  const NativeString path = Relative(item.path), of = Relative(item.of);
  switch (item.kind) {
    case InFlightKind::Aside:
      Record("aside", {path, of, item.stamped ? Number(item.stamp.size) : NativeString(),
                       Number(static_cast<std::uint64_t>(item.stamp.written)), Relative(item.copy)}, now);
      if (item.arrived) Record("arrived", {path}, now);
      return;
    case InFlightKind::Copy: return Record("copy", {path, of}, now);
    case InFlightKind::Gone: return Record("gone", {path, of, Relative(item.copy)}, now);
    case InFlightKind::Placeholder: return Record("placeholder", {path, of}, now);
  }
}

void RunJournal::KeepBounded() {
  if (!writing_ || file_.Size() <= kJournalStartsAnewPast) return;
  Flush();
  if (!file_.StartAnew(NativeString(folder_).append(kJournalName).append(NATIVE(".1")))) return;
  for (size_t at = 0; at < left_.size(); ++at)
    if (!done_[at]) RecordItem(left_[at], false);
  Flush();
}

void RunJournal::Begin(InFlightKind kind, const NativeString& path, const NativeString& of, const NativeString& copy,
                       const FileStamp* ofStamp) {
  Unfinished item;
  item.kind = kind;
  item.path = path;
  item.of = of;
  item.copy = copy;
  // An old file as it is now: the next run knows it again by this.
  if (kind == InFlightKind::Aside && ofStamp) {
    item.stamped = true;
    item.stamp = *ofStamp;
  } else if (kind == InFlightKind::Aside) {
    item.stamped = StampOf(of, item.stamp);
  }
  RecordItem(item, true);
}

void RunJournal::Done(const Unfinished& item) {
  done_[static_cast<size_t>(&item - left_.data())] = true;
  Settled(item.path);
}

// In the batch: a run stopped before it is written leaves the old file's
// name held by the new file and its source gone (or, copied, holding the
// same bytes), which the next run takes for the same fact.
void RunJournal::Arrived(const NativeString& path) { Record("arrived", {Relative(path)}, false); }
void RunJournal::Unwinding(const NativeString& path) { Record("unwinding", {Relative(path)}, true); }
void RunJournal::Settled(const NativeString& path) { Record("settled", {Relative(path)}, false); }
// Straight into the batch, with no text made on the way: one per file.
void RunJournal::AppendPath(NativeStringView path) {
  batch_.push_back('\t');
  if (path.size() > folder_.size() && path.substr(0, folder_.size()) == folder_)
    AppendField(path.substr(folder_.size()), batch_);
  else
    AppendField(Relative(NativeString(path)), batch_);
}

void RunJournal::Batched(std::string_view verb, NativeStringView first, NativeStringView second) {
  if (!writing_ || !file_.IsOpen()) return;
  batch_.append(verb);
  AppendPath(first);
  if (!second.empty()) AppendPath(second);
  batch_.push_back('\n');
  if (batch_.size() >= kBatchBytes) Flush();
}

void RunJournal::Moved(NativeStringView source, NativeStringView target) { Batched("moved", source, target); }
void RunJournal::FolderMade(NativeStringView folder) { Batched("folder", folder); }
// A copy is told at once: it took long to make, and a run killed later
// leaves the undo a copy it knows of.
void RunJournal::Linked(NativeStringView file, NativeStringView link, bool copy) {
  Batched(copy ? "copied" : "linked", file, link);
  if (copy) Flush();
}
