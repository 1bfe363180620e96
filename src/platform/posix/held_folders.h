// Folders held open for one run: a move between two of them names only its
// last components, so that no path is walked again from the root (on a FUSE
// disk or a share, every component looked up again is a round trip).
//
// A folder is owned: a move holds each folder it uses (a Held) until it is
// done, and nothing closes it meanwhile. Past the limit, the folders that no
// move holds are let go of, least recently used first; a folder still held
// stays open, whatever the limit.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>

class HeldFolders {
  struct Open;

 public:
  // A folder in use: open for as long as any Held of it lives.
  class Held {
   public:
    Held() = default;
    explicit operator bool() const { return open_ != nullptr; }
    int fd() const;
    dev_t device() const;
    // One folder, as far as its number tells (both held open, so neither
    // number can pass to another folder meanwhile).
    bool SameFolderAs(const Held& other) const;

   private:
    friend class HeldFolders;
    explicit Held(std::shared_ptr<const Open> open) : open_(std::move(open)) {}
    std::shared_ptr<const Open> open_;
  };

  // most: how many to keep open when no move holds them; by default a
  // quarter of the descriptors this process may open, at most 256.
  explicit HeldFolders(std::size_t most = DefaultMost());
  HeldFolders(const HeldFolders&) = delete;
  HeldFolders& operator=(const HeldFolders&) = delete;

  // The folder (a path ending in its delimiter), opened on its first use;
  // empty, with errno, when it cannot be opened.
  Held Of(std::string_view folder);

  // Forgets the folder, so that the next use looks it up by its path again:
  // after any refusal, it may have been renamed or removed. A move that
  // holds it keeps its descriptor until it lets go.
  void LetGoOf(std::string_view folder);

  // How many the run keeps open, held by a move or not.
  std::size_t Kept() const { return byPath_.size(); }

  static std::size_t DefaultMost();

 private:
  struct Open {
    int fd = -1;
    dev_t device = 0;
    ino_t number = 0;
    ~Open();
  };
  using Order = std::list<std::pair<std::string, std::shared_ptr<const Open>>>;
  struct Hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
  };
  void MakeRoom();

  std::size_t most_;
  Order order_;  // most recently used first
  std::unordered_map<std::string, Order::iterator, Hash, std::equal_to<>> byPath_;
};
