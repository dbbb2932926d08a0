// Process-wide memory allocator settings for decoding photos on several threads.
#pragma once

namespace pixelmote::util {

// Makes blocks of photo size (a file's contents, a progressive JPEG's
// coefficients, a large thumbnail: 4 MB and more) come from and go straight
// back to the system, and keeps at most 64 MB of freed memory otherwise.
// Without this each thread's heap keeps the largest blocks it ever held, and
// every decoding thread adds the memory of the largest photo it has seen.
// Call once at start-up, before any thread starts.
void limitRetainedMemory();

}  // namespace pixelmote::util
