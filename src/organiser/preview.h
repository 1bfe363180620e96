// tvtidy-preview's effects: the sweep runs as it would, the disk is only
// looked at, and each line says what the run would do.
#pragma once

#include <cstdint>
#include <functional>
#include <set>

#include "organiser/relocation.h"
#include "organiser/sweep.h"
#include "platform/letter_case.h"

class PreviewEffects : public SweepEffects {
 public:
  bool FolderExists(const NativeString& path) override;
  bool MakeFolder(const NativeString& path) override;
  bool QuickMove(const NativeString&, const NativeString&) override { return false; }
  void Move(const NativeString& source, const NativeString& target, bool folderExisted) override;

  void Skipped(NativeStringView name) override;
  void FolderCreated(NativeStringView folder) override;
  void FolderFailed(NativeStringView folder) override;
  void Moved(NativeStringView source, NativeStringView target) override;
  void MoveFailed(NativeStringView source, const Exception* why) override;
  std::int32_t Count() const { return count_; }

 private:
  // The disk as the run will have changed it: the folders it made, and the
  // files it moved away (gone for links that led to them), by full path.
  // It grows with the shows and the moved files, never beyond.
  class Disk : public DiskView {
   public:
    bool FolderExists(const NativeString& path) const override;
    bool FileEntryExists(const NativeString& path) const override;
    bool Made(const NativeString& path) const;
    void Make(const NativeString& path);
    void Gone(const NativeString& path);

   private:
    using Names = std::conditional_t<kNamesIgnoreCase, IgnoringCaseLess, std::less<>>;
    std::set<NativeString, Names> made_;
    std::set<NativeString> gone_;
    mutable NativeString full_;
  };


  Disk disk_;
  NativeString reason_, line_, folder_;
  bool replacing_ = false;
  std::int32_t count_ = 0;
};
