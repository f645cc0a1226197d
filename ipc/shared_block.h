#pragma once
// One mapped view of a named POSIX shared memory object ("/" + name, mode
// 0600), the stand-in for a paging-file backed file mapping.
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace orvipc {

class SharedBlock {
 public:
  // Creates the object (or opens an existing one, growing it to size) and
  // maps size bytes. Null on failure with stage "CreateFileMapping" or
  // "MapViewOfFile" and errno in *error.
  static std::unique_ptr<SharedBlock> create(const std::string& name, std::size_t size, const char** stage, int* error);
  // Opens an existing object and maps all of it; stage "OpenFileMapping" or
  // "MapViewOfFile" on failure.
  static std::unique_ptr<SharedBlock> open(const std::string& name, const char** stage, int* error);
  ~SharedBlock();
  SharedBlock(const SharedBlock&) = delete;
  SharedBlock& operator=(const SharedBlock&) = delete;
  void* view() const { return view_; }
  std::size_t size() const { return size_; }

 private:
  SharedBlock(std::string shmName, void* view, std::size_t size, bool owner)
      : shmName_(std::move(shmName)), view_(view), size_(size), owner_(owner) {}
  std::string shmName_;
  void* view_;
  std::size_t size_;
  bool owner_;  // created the object: removes its name when released
};

// The blocks a client or server has mapped, kept until released by view.
class SharedBlockList {
 public:
  // Keeps the block; returns its view.
  void* add(std::unique_ptr<SharedBlock> block);
  // Unmaps the block with this view (an unknown view is ignored); null
  // unmaps every block.
  void release(void* view);

 private:
  std::mutex mutex_;
  std::vector<std::unique_ptr<SharedBlock>> blocks_;
};

}  // namespace orvipc
