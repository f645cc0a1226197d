#include "gevlink/pointer_check.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace gevlink {
namespace {

constexpr std::size_t kPage = 4096;
constexpr std::size_t kBatch = 512;

// The addresses probed: the first byte, one per page after it, the last.
std::vector<uintptr_t> probes(const void* p, std::size_t length) {
  std::vector<uintptr_t> at;
  uintptr_t start = reinterpret_cast<uintptr_t>(p);
  uintptr_t last = start + length - 1;
  at.push_back(start);
  for (uintptr_t a = (start & ~(kPage - 1)) + kPage; a <= last && a > start; a += kPage) at.push_back(a);
  if (last != at.back()) at.push_back(last);
  return at;
}

// -1: the kernel refused the call itself (seccomp, old kernel): trust the
// pointer rather than fail every call.
int probe(const std::vector<uintptr_t>& at, std::vector<uint8_t>& bytes, bool write) {
  pid_t self = getpid();
  for (std::size_t i = 0; i < at.size(); i += kBatch) {
    std::size_t n = std::min(kBatch, at.size() - i);
    std::vector<iovec> local(n), remote(n);
    for (std::size_t k = 0; k < n; ++k) {
      local[k] = {&bytes[i + k], 1};
      remote[k] = {reinterpret_cast<void*>(at[i + k]), 1};
    }
    ssize_t done = write ? process_vm_writev(self, local.data(), n, remote.data(), n, 0)
                         : process_vm_readv(self, local.data(), n, remote.data(), n, 0);
    if (done < 0) return (errno == EFAULT) ? 0 : -1;
    if (std::size_t(done) != n) return 0;
  }
  return 1;
}

bool check(const void* p, std::size_t length, bool write) {
  if (!p) return false;
  if (length == 0) return true;
  if (reinterpret_cast<uintptr_t>(p) + length < reinterpret_cast<uintptr_t>(p)) return false;
  std::vector<uintptr_t> at = probes(p, length);
  std::vector<uint8_t> bytes(at.size());
  int r = probe(at, bytes, false);
  if (r < 0) return true;
  if (r == 0) return false;
  if (!write) return true;
  return probe(at, bytes, true) != 0;
}

}  // namespace

bool isReadable(const void* p, std::size_t length) { return check(p, length, false); }
bool isWritable(void* p, std::size_t length) { return check(p, length, true); }

}  // namespace gevlink
