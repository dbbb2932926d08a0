// Where a progressive JPEG's coefficients go while it is decoded: mappings
// made for the picture instead of libjpeg's own allocations.
#pragma once

#include <cstddef>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first

#include <jpeglib.h>

namespace pixelmote::imaging {

// libjpeg keeps all of a progressive picture's coefficients, tens of
// megabytes for a photo, in "virtual arrays" it allocates with malloc (a
// fresh mapping each time, for blocks that large), zeroes, fills and gives
// back, picture after picture: one page fault per 4 KB, which on a virtual
// machine costs a fifth of the whole decode. These replacement methods of
// libjpeg's memory manager map each array for the picture instead, with huge
// pages advised: a fresh mapping is already zero, and huge pages take a fault
// per 2 MB. The arrays are unmapped when libjpeg frees their pool, so nothing
// is kept between pictures. Sample arrays and everything else stay with
// libjpeg's own methods. The methods fail through libjpeg's error exit, as
// its own do.
class MappedCoefficients {
 public:
  MappedCoefficients() = default;
  MappedCoefficients(const MappedCoefficients&) = delete;
  MappedCoefficients& operator=(const MappedCoefficients&) = delete;

  // Takes over the block-array methods of `info`'s memory manager, right
  // after jpeg_create_decompress. `owner(info)` must lead back to this object.
  void install(j_common_ptr info);

  // The object installed in `info`. Defined by the decoder that installs
  // it, which alone knows where its callbacks' state (client_data) keeps it.
  static MappedCoefficients& owner(j_common_ptr info);

 private:
  struct Array {
    Array* next;
    int pool;
    JDIMENSION blocksPerRow, rows, maxAccess;
    JBLOCKARRAY rowPointers;
    void* mapping;  // null until realized
    std::size_t mappedBytes;
  };

  static jvirt_barray_ptr request(j_common_ptr info, int pool, boolean preZero, JDIMENSION blocksPerRow,
                                  JDIMENSION rows, JDIMENSION maxAccess);
  static void realize(j_common_ptr info);
  static JBLOCKARRAY access(j_common_ptr info, jvirt_barray_ptr handle, JDIMENSION first, JDIMENSION count,
                            boolean writable);
  static void freePool(j_common_ptr info, int pool);
  static void selfDestruct(j_common_ptr info);

  // Unmaps the arrays of `pool` (-1: all) and forgets them; their control
  // blocks belong to the pool and go with it.
  void release(int pool);

  jpeg_memory_mgr m_library{};  // libjpeg's own methods
  Array* m_arrays = nullptr;
};

}  // namespace pixelmote::imaging
