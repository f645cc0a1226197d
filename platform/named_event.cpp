#include "platform/named_event.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace platform {

struct NamedEvent::Shared {
  std::uint32_t magic;
  pthread_mutex_t mutex;
  pthread_cond_t cond;
  int signalled;
};

namespace {

constexpr std::uint32_t kMagic = 0x5a455631;  // "ZEV1"

std::string shmName(const std::string& name) {
  std::string n = "/";
  for (char c : name) n += (c == '/' || c == '\\') ? '_' : c;
  return n;
}

// Locks the robust mutex, repairing it when its previous holder died.
void lockRobust(pthread_mutex_t* m) {
  if (pthread_mutex_lock(m) == EOWNERDEAD) pthread_mutex_consistent(m);
}

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::create(const std::string& name, bool initiallySet) {
  return openImpl(name, true, initiallySet);
}

std::unique_ptr<NamedEvent> NamedEvent::open(const std::string& name) { return openImpl(name, false, false); }

std::unique_ptr<NamedEvent> NamedEvent::openImpl(const std::string& name, bool create, bool initiallySet) {
  if (name.empty()) return nullptr;
  const std::string shm = shmName(name);
  // Each opener holds a shared flock on its own descriptor of the object for
  // as long as it keeps the event; an exclusive lock that succeeds therefore
  // means no live process has the event open. The kernel drops the locks of
  // processes that die.
  for (int attempt = 0; attempt < 8; ++attempt) {
    int fd = ::shm_open(shm.c_str(), O_RDWR | (create ? O_CREAT : 0) | O_CLOEXEC, 0600);
    if (fd < 0) return nullptr;
    bool fresh = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (!fresh) {
      if (::flock(fd, LOCK_SH) != 0) {
        ::close(fd);
        return nullptr;
      }
    }
    // The name may have been removed by a last closer while we waited for the
    // lock; then this descriptor belongs to a dead object: start over.
    struct stat byFd {
    }, byName{};
    std::string path = "/dev/shm" + shm;
    if (::fstat(fd, &byFd) != 0 || ::stat(path.c_str(), &byName) != 0 || byFd.st_ino != byName.st_ino) {
      ::close(fd);
      if (!create) return nullptr;
      continue;
    }
    if (fresh) {
      if (!create) {
        // Nobody holds it: an orphan left by a crash, not a live event.
        ::shm_unlink(shm.c_str());
        ::close(fd);
        return nullptr;
      }
      if (::ftruncate(fd, sizeof(Shared)) != 0) {
        ::close(fd);
        return nullptr;
      }
    } else if (byFd.st_size < static_cast<off_t>(sizeof(Shared))) {
      // Another process is between creating and initialising; wait for it.
      ::close(fd);
      ::usleep(1000);
      continue;
    }
    void* p = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED) {
      ::close(fd);
      return nullptr;
    }
    auto* shared = static_cast<Shared*>(p);
    if (fresh) {
      pthread_mutexattr_t ma;
      pthread_mutexattr_init(&ma);
      pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
      pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
      pthread_mutex_init(&shared->mutex, &ma);
      pthread_mutexattr_destroy(&ma);
      pthread_condattr_t ca;
      pthread_condattr_init(&ca);
      pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
      pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
      pthread_cond_init(&shared->cond, &ca);
      pthread_condattr_destroy(&ca);
      shared->signalled = initiallySet ? 1 : 0;
      __atomic_store_n(&shared->magic, kMagic, __ATOMIC_RELEASE);
      // Downgrade: from now on other openers may share it.
      ::flock(fd, LOCK_SH);
    } else if (__atomic_load_n(&shared->magic, __ATOMIC_ACQUIRE) != kMagic) {
      ::munmap(p, sizeof(Shared));
      ::close(fd);
      ::usleep(1000);
      continue;
    }
    return std::unique_ptr<NamedEvent>(new NamedEvent(name, fd, shared));
  }
  return nullptr;
}

NamedEvent::NamedEvent(std::string name, int fd, Shared* shared) : name_(std::move(name)), fd_(fd), shared_(shared) {}

NamedEvent::~NamedEvent() {
  ::munmap(shared_, sizeof(Shared));
  // Last one out removes the name, as the Windows object disappears with its
  // last handle.
  if (::flock(fd_, LOCK_EX | LOCK_NB) == 0) {
    struct stat byFd {
    }, byName{};
    std::string path = "/dev/shm" + shmName(name_);
    if (::fstat(fd_, &byFd) == 0 && ::stat(path.c_str(), &byName) == 0 && byFd.st_ino == byName.st_ino) {
      ::shm_unlink(shmName(name_).c_str());
    }
  }
  ::close(fd_);
}

void NamedEvent::set() {
  lockRobust(&shared_->mutex);
  shared_->signalled = 1;
  pthread_cond_broadcast(&shared_->cond);
  pthread_mutex_unlock(&shared_->mutex);
}

void NamedEvent::reset() {
  lockRobust(&shared_->mutex);
  shared_->signalled = 0;
  pthread_mutex_unlock(&shared_->mutex);
}

bool NamedEvent::isSet() const { return wait(0); }

bool NamedEvent::wait(int timeoutMs) const {
  timespec deadline{};
  if (timeoutMs >= 0) {
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1000000000L;
    }
  }
  lockRobust(&shared_->mutex);
  int rc = 0;
  while (!shared_->signalled) {
    rc = timeoutMs < 0 ? pthread_cond_wait(&shared_->cond, &shared_->mutex)
                       : pthread_cond_timedwait(&shared_->cond, &shared_->mutex, &deadline);
    if (rc == EOWNERDEAD) {
      pthread_mutex_consistent(&shared_->mutex);
    } else if (rc == ETIMEDOUT) {
      break;
    }
  }
  bool set = shared_->signalled != 0;
  pthread_mutex_unlock(&shared_->mutex);
  return set;
}

}  // namespace platform
