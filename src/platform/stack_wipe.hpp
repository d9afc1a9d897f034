#pragma once
// Zeroes the stack a thread has used and given up: the frames below the caller's, where what went
// through them stays until something else is written there. A session key passes through the
// frames of the threads that seal and open, and through their vector registers, which end up in
// those frames too: the dynamic linker saves them there when a library built for lazy binding
// (libstdc++, say) binds a symbol at its first call. When a thread ends, glibc gives back the
// pages of its stack except the 16 KiB below its outermost frame, and keeps the stack for the next
// thread: without this, whatever those 16 KiB held would stay in the process's memory.

#include <cstddef>

namespace kestrune::platform {

// How far below its caller wipe_unused_stack zeroes: four times the part of an ended thread's
// stack that glibc keeps.
inline constexpr std::size_t kStackWipeBytes = 64 * 1024;

// Zeroes the kStackWipeBytes below the caller's frame, or less where the thread's stack ends
// sooner (two pages above its end are left for the wipe's own frames). Called last on every thread
// the program starts (platform::spawn_named), once nothing below its outermost frame is needed.
// Not for the main thread, whose stack it cannot tell without reading a file.
void wipe_unused_stack();

}  // namespace kestrune::platform
