#pragma once
// Whether a caller's pointer can be read or written, found without touching
// it: the kernel copies through process_vm_readv/writev and reports EFAULT for
// an unmapped or protected page instead of raising a signal. One byte per
// page is probed.
#include <cstddef>

namespace gevlink {

bool isReadable(const void* p, std::size_t length);
// Probes by reading each page's byte and writing the same value back.
bool isWritable(void* p, std::size_t length);

}  // namespace gevlink
