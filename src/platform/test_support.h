// Helpers for tests that work on real files in a fresh temporary folder.
#pragma once

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string>

#include "platform/file_system.h"
#include "platform/text.h"

namespace fs = std::filesystem;

class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    root_ = fs::temp_directory_path() / ("tvtidy-test-" + std::to_string(random()));
    fs::create_directories(root_);
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(root_, ignored);
  }
  const fs::path& Path() const { return root_; }
  NativeString operator/(const fs::path& name) const { return (root_ / name).native(); }
  NativeString Native() const { return root_.native(); }

 private:
  fs::path root_;
};

inline void WriteFile(const fs::path& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Plays another process (a rival, a writer, a failure, a signal) at one step
// of a move: on MoveSteps itself, or on a sweep's effects.
template <typename Base = MoveSteps>
struct StepAt : Base {
  StepAt(MoveStep step, std::function<void(const NativeString&)> act) : when_(step), act_(act) {}
  void AtStep(MoveStep step, const NativeString& path) override {
    if (step == when_) act_(path);
  }

 private:
  MoveStep when_;
  std::function<void(const NativeString&)> act_;
};
