#ifndef VX_FAILING_ALLOCATOR_H
#define VX_FAILING_ALLOCATOR_H

#include <cstddef>

// The test program replaces the global operator new so that a test can make
// one allocation of its own thread fail, as a full heap would, and watch
// what the code under test does with std::bad_alloc. Other threads (test
// servers, the plug-in's worker) are never affected.
namespace vxtest {

// Makes the `n`-th later operator new of at least `min_size` bytes on the
// calling thread throw std::bad_alloc, once (1 = the next one); 0 disarms.
void FailAllocation(size_t n, size_t min_size = 0);

// Whether the armed failure has happened.
bool AllocationFailed();

// False in builds where the replacement is left out (ThreadSanitizer); tests
// that need it skip there.
bool AllocationFailuresAvailable();

} // namespace vxtest

#endif
