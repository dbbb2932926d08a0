#include "util/memory.h"

#include <malloc.h>

namespace pixelmote::util {

void limitRetainedMemory() {
  // Smaller thresholds cost a page fault per 4 KB of every thumbnail-sized
  // buffer; larger ones let a heap keep a photo's decoding memory.
  mallopt(M_MMAP_THRESHOLD, 4 << 20);
  mallopt(M_TRIM_THRESHOLD, 16 << 20);
}

}  // namespace pixelmote::util
