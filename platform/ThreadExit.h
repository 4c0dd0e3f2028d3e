// Work to run when a thread ends: how per-thread objects of a library (the
// database client's status object) are freed.
//
// POSIX: a thread_local object's destructor runs it. Windows: a fiber-local
// storage slot's callback does; the mingw-w64 compiler frees a thread_local
// object's storage before running its destructor at thread end, so a
// thread_local object with a destructor must not be used there.
#pragma once

namespace platform {

// Runs fn(arg) on the calling thread when it ends, after the work
// registered before it. Call from the thread itself.
void AtThreadExit(void (*fn)(void*), void* arg);

}  // namespace platform
