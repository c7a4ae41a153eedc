#include <cstdlib>
#include <new>

#include "failing_allocator.h"

namespace {

thread_local size_t countdown = 0;
thread_local size_t threshold = 0;
thread_local bool failed = false;

[[maybe_unused]] bool ShouldFail(size_t size) noexcept
{
    if (countdown == 0 || size < threshold) return false;
    if (--countdown != 0) return false;
    failed = true;
    return true;
}

} // namespace

namespace vxtest {

void FailAllocation(size_t n, size_t min_size)
{
    countdown = n;
    threshold = min_size;
    failed = false;
}

bool AllocationFailed() { return failed; }

bool AllocationFailuresAvailable()
{
#if defined(__SANITIZE_THREAD__)
    return false;
#else
    return true;
#endif
}

} // namespace vxtest

#if !defined(__SANITIZE_THREAD__)
// Not under ThreadSanitizer: memory that the uninstrumented test servers
// hand between their threads would then be freed from our frames, where its
// reports cannot tell that library's hand-offs from races of ours.
void *operator new(std::size_t size)
{
    if (ShouldFail(size)) throw std::bad_alloc();
    void *p = std::malloc(size != 0 ? size : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void operator delete(void *p) noexcept { std::free(p); }

void operator delete(void *p, std::size_t) noexcept { std::free(p); }
#endif
