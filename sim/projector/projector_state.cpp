#include "sim/projector/projector_state.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace sim {

// The shared block: a sequence lock (odd while the writer updates) in front
// of the values, all accessed with atomic builtins.
struct ProjectorStateReader::Layout {
  std::uint32_t magic;
  std::uint32_t sequence;
  std::int32_t pattern;
  std::uint32_t rgb;  // red in the lowest byte
  std::uint64_t generation;
};

namespace {
constexpr std::uint32_t kMagic = 0x5a50524a;  // "ZPRJ"
using Layout = ProjectorStateReader::Layout;
}  // namespace

struct ProjectorState::Mirror {
  std::string shmName;
  int fd = -1;
  Layout* layout = nullptr;
  ~Mirror() {
    if (layout) ::munmap(layout, sizeof(Layout));
    if (fd >= 0) ::close(fd);
    if (!shmName.empty()) ::shm_unlink(shmName.c_str());
  }
  void write(const ProjectorSnapshot& s) {
    std::uint32_t seq = __atomic_load_n(&layout->sequence, __ATOMIC_RELAXED);
    __atomic_store_n(&layout->sequence, seq + 1, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    __atomic_store_n(&layout->pattern, s.pattern, __ATOMIC_RELAXED);
    __atomic_store_n(&layout->rgb,
                     static_cast<std::uint32_t>(s.red) | (static_cast<std::uint32_t>(s.green) << 8) |
                         (static_cast<std::uint32_t>(s.blue) << 16),
                     __ATOMIC_RELAXED);
    __atomic_store_n(&layout->generation, s.generation, __ATOMIC_RELAXED);
    __atomic_store_n(&layout->sequence, seq + 2, __ATOMIC_RELEASE);
  }
};

ProjectorState::ProjectorState() = default;
ProjectorState::~ProjectorState() = default;

bool ProjectorState::mirrorTo(const std::string& name) {
  auto m = std::make_unique<Mirror>();
  std::string shm = "/" + name;
  m->fd = ::shm_open(shm.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (m->fd < 0) return false;
  m->shmName = shm;
  if (::ftruncate(m->fd, sizeof(Layout)) != 0) return false;
  void* p = ::mmap(nullptr, sizeof(Layout), PROT_READ | PROT_WRITE, MAP_SHARED, m->fd, 0);
  if (p == MAP_FAILED) return false;
  m->layout = static_cast<Layout*>(p);
  std::lock_guard<std::mutex> lock(mutex_);
  m->write(state_);
  __atomic_store_n(&m->layout->magic, kMagic, __ATOMIC_RELEASE);
  mirror_ = std::move(m);
  return true;
}

ProjectorSnapshot ProjectorState::snapshot() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

void ProjectorState::showPattern(int pattern) {
  ProjectorSnapshot s;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_.pattern = pattern;
    ++state_.generation;
    s = state_;
    if (mirror_) mirror_->write(s);
  }
  publish(s, true);
}

void ProjectorState::setLight(std::uint8_t red, std::uint8_t green, std::uint8_t blue) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_.red = red;
  state_.green = green;
  state_.blue = blue;
  if (mirror_) mirror_->write(state_);
}

int ProjectorState::addListener(Listener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  int id = nextListener_++;
  listeners_[id] = std::move(listener);
  return id;
}

void ProjectorState::removeListener(int id) {
  std::lock_guard<std::mutex> lock(mutex_);
  listeners_.erase(id);
}

void ProjectorState::publish(const ProjectorSnapshot& s, bool patternShown) {
  if (!patternShown) return;
  std::vector<Listener> toCall;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [id, l] : listeners_) toCall.push_back(l);
  }
  for (auto& l : toCall) l(s);
}

std::unique_ptr<ProjectorStateReader> ProjectorStateReader::open(const std::string& name) {
  std::string shm = "/" + name;
  int fd = ::shm_open(shm.c_str(), O_RDONLY | O_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Layout))) {
    ::close(fd);
    return nullptr;
  }
  void* p = ::mmap(nullptr, sizeof(Layout), PROT_READ, MAP_SHARED, fd, 0);
  if (p == MAP_FAILED) {
    ::close(fd);
    return nullptr;
  }
  auto* layout = static_cast<Layout*>(p);
  if (__atomic_load_n(&layout->magic, __ATOMIC_ACQUIRE) != kMagic) {
    ::munmap(p, sizeof(Layout));
    ::close(fd);
    return nullptr;
  }
  return std::unique_ptr<ProjectorStateReader>(new ProjectorStateReader(fd, layout));
}

ProjectorStateReader::~ProjectorStateReader() {
  ::munmap(layout_, sizeof(Layout));
  ::close(fd_);
}

bool ProjectorStateReader::read(ProjectorSnapshot* out) const {
  for (int attempt = 0; attempt < 100000; ++attempt) {
    std::uint32_t before = __atomic_load_n(&layout_->sequence, __ATOMIC_ACQUIRE);
    if (before & 1u) continue;
    ProjectorSnapshot s;
    s.pattern = __atomic_load_n(&layout_->pattern, __ATOMIC_RELAXED);
    std::uint32_t rgb = __atomic_load_n(&layout_->rgb, __ATOMIC_RELAXED);
    s.red = static_cast<std::uint8_t>(rgb);
    s.green = static_cast<std::uint8_t>(rgb >> 8);
    s.blue = static_cast<std::uint8_t>(rgb >> 16);
    s.generation = __atomic_load_n(&layout_->generation, __ATOMIC_RELAXED);
    __atomic_thread_fence(__ATOMIC_ACQUIRE);
    if (__atomic_load_n(&layout_->sequence, __ATOMIC_RELAXED) == before) {
      *out = s;
      return true;
    }
  }
  return false;
}

}  // namespace sim
