#include "ipc/shared_block.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "ipc/io.h"

namespace orvipc {

namespace {

bool validShmName(const std::string& name) {
  return !name.empty() && name.find('/') == std::string::npos && name.size() < 255;
}

}  // namespace

std::unique_ptr<SharedBlock> SharedBlock::create(const std::string& name, std::size_t size, const char** stage,
                                                 int* error) {
  *stage = "CreateFileMapping";
  if (!validShmName(name) || size == 0) {
    *error = EINVAL;
    return nullptr;
  }
  std::string shmName = "/" + name;
  bool owner = true;
  Fd fd(::shm_open(shmName.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
  if (!fd && errno == EEXIST) {
    owner = false;
    fd = Fd(::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0600));
  }
  if (!fd) {
    *error = errno;
    return nullptr;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    *error = errno;
    if (owner) ::shm_unlink(shmName.c_str());
    return nullptr;
  }
  // Never shrink an object somebody else may have mapped.
  if (static_cast<std::size_t>(st.st_size) < size && ::ftruncate(fd.get(), static_cast<off_t>(size)) != 0) {
    *error = errno;
    if (owner) ::shm_unlink(shmName.c_str());
    return nullptr;
  }
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (view == MAP_FAILED) {
    *stage = "MapViewOfFile";
    *error = errno;
    if (owner) ::shm_unlink(shmName.c_str());
    return nullptr;
  }
  return std::unique_ptr<SharedBlock>(new SharedBlock(shmName, view, size, owner));
}

std::unique_ptr<SharedBlock> SharedBlock::open(const std::string& name, const char** stage, int* error) {
  *stage = "OpenFileMapping";
  if (!validShmName(name)) {
    *error = EINVAL;
    return nullptr;
  }
  std::string shmName = "/" + name;
  Fd fd(::shm_open(shmName.c_str(), O_RDWR | O_CLOEXEC, 0));
  if (!fd) {
    *error = errno;
    return nullptr;
  }
  struct stat st {};
  *stage = "MapViewOfFile";
  if (::fstat(fd.get(), &st) != 0) {
    *error = errno;
    return nullptr;
  }
  if (st.st_size <= 0) {
    *error = EINVAL;
    return nullptr;
  }
  std::size_t size = static_cast<std::size_t>(st.st_size);
  void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
  if (view == MAP_FAILED) {
    *error = errno;
    return nullptr;
  }
  return std::unique_ptr<SharedBlock>(new SharedBlock(shmName, view, size, false));
}

SharedBlock::~SharedBlock() {
  ::munmap(view_, size_);
  // Views others still hold stay valid; the name goes with its creator's
  // release, as a mapping goes with its last handle.
  if (owner_) ::shm_unlink(shmName_.c_str());
}

void* SharedBlockList::add(std::unique_ptr<SharedBlock> block) {
  void* view = block->view();
  std::lock_guard<std::mutex> lock(mutex_);
  blocks_.push_back(std::move(block));
  return view;
}

void SharedBlockList::release(void* view) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!view) {
    blocks_.clear();
    return;
  }
  for (auto it = blocks_.begin(); it != blocks_.end(); ++it) {
    if ((*it)->view() == view) {
      blocks_.erase(it);
      return;
    }
  }
}

}  // namespace orvipc
