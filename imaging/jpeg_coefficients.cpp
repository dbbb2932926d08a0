#include "imaging/jpeg_coefficients.h"

#include <algorithm>
#include <cstdint>

#include <sys/mman.h>

// After jpeglib.h: jerror.h lists some codes only when jconfig.h was seen.
#include <jerror.h>

namespace pixelmote::imaging {

void MappedCoefficients::install(j_common_ptr info) {
  m_library = *info->mem;
  info->mem->request_virt_barray = request;
  info->mem->realize_virt_arrays = realize;
  info->mem->access_virt_barray = access;
  info->mem->free_pool = freePool;
  info->mem->self_destruct = selfDestruct;
}

jvirt_barray_ptr MappedCoefficients::request(j_common_ptr info, int pool, boolean /*preZero: mappings start zeroed*/,
                                             JDIMENSION blocksPerRow, JDIMENSION rows, JDIMENSION maxAccess) {
  MappedCoefficients& self = owner(info);
  if (pool != JPOOL_IMAGE) ERREXIT1(info, JERR_BAD_POOL_ID, pool);  // libjpeg asks for none other
  auto* array = static_cast<Array*>((*self.m_library.alloc_small)(info, pool, sizeof(Array)));
  *array = Array{self.m_arrays, pool, blocksPerRow, rows, maxAccess, nullptr, nullptr, 0};
  self.m_arrays = array;
  return reinterpret_cast<jvirt_barray_ptr>(array);
}

void MappedCoefficients::realize(j_common_ptr info) {
  MappedCoefficients& self = owner(info);
  (*self.m_library.realize_virt_arrays)(info);  // the sample arrays, if any
  // The same limit as libjpeg's own arrays: all of them under max_memory_to_use.
  std::uint64_t total = 0;
  for (Array* a = self.m_arrays; a != nullptr; a = a->next) {
    if (a->mapping == nullptr) total += std::uint64_t{a->blocksPerRow} * a->rows * sizeof(JBLOCK);
  }
  if (info->mem->max_memory_to_use > 0 && total > static_cast<std::uint64_t>(info->mem->max_memory_to_use)) {
    ERREXIT(info, JERR_NO_BACKING_STORE);
  }
  for (Array* a = self.m_arrays; a != nullptr; a = a->next) {
    if (a->mapping != nullptr) continue;
    const std::size_t rowBytes = std::size_t{a->blocksPerRow} * sizeof(JBLOCK);
    // Whole huge pages, so that the last one is not left to small pages.
    constexpr std::size_t kHuge = std::size_t{2} << 20;
    std::size_t bytes = std::max<std::size_t>(rowBytes * a->rows, 1);
    if (bytes >= kHuge) bytes = (bytes + kHuge - 1) / kHuge * kHuge;
    void* mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) ERREXIT1(info, JERR_OUT_OF_MEMORY, 10);
    a->mapping = mapping;
    a->mappedBytes = bytes;
    if (bytes >= kHuge) ::madvise(mapping, bytes, MADV_HUGEPAGE);  // advice only: fine if refused
    a->rowPointers = static_cast<JBLOCKARRAY>(
        (*self.m_library.alloc_small)(info, a->pool, std::max<std::size_t>(a->rows, 1) * sizeof(JBLOCKROW)));
    for (JDIMENSION r = 0; r < a->rows; ++r) {
      a->rowPointers[r] = reinterpret_cast<JBLOCKROW>(static_cast<std::uint8_t*>(mapping) + rowBytes * r);
    }
  }
}

JBLOCKARRAY MappedCoefficients::access(j_common_ptr info, jvirt_barray_ptr handle, JDIMENSION first,
                                       JDIMENSION count, boolean /*writable*/) {
  const Array* a = reinterpret_cast<const Array*>(handle);
  if (a->rowPointers == nullptr || std::uint64_t{first} + count > a->rows || count > a->maxAccess) {
    ERREXIT(info, JERR_BAD_VIRTUAL_ACCESS);
  }
  return a->rowPointers + first;
}

void MappedCoefficients::freePool(j_common_ptr info, int pool) {
  MappedCoefficients& self = owner(info);
  self.release(pool);  // before libjpeg frees the pool that holds the control blocks
  (*self.m_library.free_pool)(info, pool);
}

void MappedCoefficients::selfDestruct(j_common_ptr info) {
  MappedCoefficients& self = owner(info);
  self.release(-1);
  (*self.m_library.self_destruct)(info);
}

void MappedCoefficients::release(int pool) {
  Array** link = &m_arrays;
  while (*link != nullptr) {
    Array* a = *link;
    if (pool != -1 && a->pool != pool) {
      link = &a->next;
      continue;
    }
    if (a->mapping != nullptr) ::munmap(a->mapping, a->mappedBytes);
    *link = a->next;
  }
}

}  // namespace pixelmote::imaging
