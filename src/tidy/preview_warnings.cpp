#include "tidy/preview_warnings.h"

#include "core/seeding.h"

#include "episode/classifier.h"
#include "episode/sample.h"
#include "episode/sidecar.h"
#include "platform/file_system.h"
#include "platform/letter_case.h"
#include "platform/process.h"

namespace {

// Why a show name may not be the folder the user wants; empty when it looks fine.
NativeString OddnessOf(NativeStringView show) {
  const NativeString lower = AsciiLowered(show);
  if (EndsWith(show, NATIVE("-"))) return NATIVE("a trailing '-'");
  if (show.find(NATIVE('_')) != show.npos) return NATIVE("underscores");
  if (show.find(NATIVE("  ")) != show.npos) return NATIVE("two spaces");
  if (!show.empty() && show[0] == NATIVE('[')) return NATIVE("a '[group]' prefix");
  if (lower.rfind(NATIVE("www "), 0) == 0 || lower.rfind(NATIVE("www."), 0) == 0) return NATIVE("a 'www.' prefix");
  if (lower.find(NATIVE("sample")) != lower.npos) return NATIVE("'sample' in it");
  return {};
}

// The name that two spellings of one show share: the year's brackets
// dropped, in Unicode's composed form (POSIX).
NativeString ComparisonKey(NativeStringView show) {
  NativeString key;
  for (const NativeChar c : show)
    if (c != NATIVE('(') && c != NATIVE(')')) key.push_back(c);
  NativeString composed;
  ComposedForm(key, composed);
  return composed;
}

void Warn(NativeStringView what, NativeStringView path) {
  WriteNotice(NativeString(NATIVE("Warning: ")).append(what).append(NATIVE(": ")).append(path));
}

}  // namespace

void PreviewWarnings::Moving(NativeStringView source) {
  const NativeStringView extension = ExtensionOf(source);
  movedStems_.insert(TextKey(source.substr(0, source.size() - extension.size())));
  if (MayBeBeingWritten(NativeString(source))) written_.emplace_back(source);
  const size_t nameAt = source.find_last_of(kDelimiter) + 1;
  if (MarkedAsSample(source.substr(nameAt))) samples_.emplace_back(source);
  if (base_.empty()) {
    base_ = source.substr(0, nameAt);
    // Decided on the folder itself, however it was spelt ("." in it, a link
    // to it): its folders resolved.
    NativeString resolved;
    if (!CanonicalPath(NativeString(source), resolved)) resolved = source;
    if (seeding_.empty() && NamedAsDownloads(resolved.substr(0, resolved.find_last_of(kDelimiter) + 1)))
      seeding_ = NATIVE("its name is a download folder's");
  }
}

void PreviewWarnings::Skipped(NativeStringView base, NativeStringView name) {
  if (IsSidecarName(name, true)) sidecars_.push_back(NativeString(base).append(name));
  if (IsPartialDownload(name))
    seeding_ = NativeString(NATIVE("it holds ")).append(name).append(NATIVE(", a download in progress"));
}

void PreviewWarnings::Making(NativeStringView folder, NativeStringView showName) {
  const NativeString why = OddnessOf(showName);
  if (!why.empty()) names_.push_back(NativeString(NATIVE("a show folder name with ")).append(why).append(NATIVE(": ")).append(folder));
  const auto [other, added] = shows_.emplace(ComparisonKey(showName), NativeString(showName));
  if (!added && other->second != showName)
    names_.push_back(NativeString(NATIVE("a show folder beside \"")).append(other->second)
                         .append(NATIVE("\", the same name but for its year's brackets or its Unicode form: "))
                         .append(folder));
}

void PreviewWarnings::SubFolder(NativeStringView base, NativeStringView name) {
  // Season packs carry a season marker in their folder's name; show folders do not.
  if (FindSeasonMarker(name) == 0) return;
  const NativeString folder = NativeString(base).append(name);
  int episodes = 0;
  NativeString show;
  for (FolderListing listing(WithTrailingDelimiter(folder)); listing.HasEntry(); listing.Advance())
    episodes += !listing.Entry().isFolder && ClassifyEpisodeFile(listing.Entry().name, show);
  if (episodes > 0) {
    const std::string count = std::to_string(episodes);
    subFolders_.push_back(folder + NATIVE(" (") + NativeString(count.begin(), count.end()) + NATIVE(" episodes)"));
  }
}

void PreviewWarnings::Write() const {
  // Moved, a seeding torrent's files are gone for its client (a recheck drops it to 0%).
  if (!seeding_.empty() && !base_.empty())
    Warn(NativeString(NATIVE("a torrent client may still seed from this folder (")).append(seeding_).append(
             NATIVE("): the run would move its episodes away from the client; tvtidy-link links them instead")),
         base_);
  for (const auto& path : written_) Warn(NATIVE("still being written, and the run would move it"), path);
  for (const auto& path : samples_) Warn(NATIVE("a sample clip, and the run would move it into its show folder"), path);
  for (const auto& path : sidecars_) {
    if (SidecarBelongs(NativeStringView(path), kDelimiter,
                       [&](NativeStringView stem) { return movedStems_.count(TextKey(stem)) > 0; }))
      Warn(NATIVE("left behind while its episode moves"), path);
  }
  for (const auto& folder : subFolders_) Warn(NATIVE("episodes in a sub-folder that the run does not enter"), folder);
  for (const auto& text : names_) WriteNotice(NativeString(NATIVE("Warning: ")).append(text));
}
