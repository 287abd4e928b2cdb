// Preloaded into list_read_count for the endless-input test where a limit on
// the process cannot serve: under an emulator, which shares the process's
// limits and would run out first. Like AddressSanitizer's cap in the
// sanitizer build, it refuses any one allocation above 16 MiB, as the C
// library does when memory has run out: the list's growth then fails there.
#include <cerrno>
#include <cstddef>

// The C library's own allocator, which glibc exports under these names.
extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_realloc(void *pointer, std::size_t size);

namespace {
const std::size_t largestAllocation = std::size_t(16) << 20;
}

extern "C" void *malloc(std::size_t size)
{
    if (size > largestAllocation) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_malloc(size);
}

extern "C" void *realloc(void *pointer, std::size_t size)
{
    if (size > largestAllocation) {
        errno = ENOMEM;
        return nullptr;
    }
    return __libc_realloc(pointer, size);
}
