#include "util/memory.h"

#include <malloc.h>

namespace pixelmote::util {

void limitRetainedMemory() {
  // Smaller thresholds cost a page fault per 4 KB of every thumbnail-sized
  // buffer; larger ones let a heap keep a photo's decoding memory. Freed
  // small blocks stay for reuse up to 64 MB instead of being given back and
  // faulted in again for the next picture.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 64 << 20);
}

}  // namespace pixelmote::util
