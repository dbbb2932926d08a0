#include "imaging/estimate.h"

#include <algorithm>
#include <sys/stat.h>
#include <vector>

#include "imaging/geometry.h"
#include "imaging/picture_file.h"
#include "util/unique_fd.h"

namespace pixelmote::imaging {

std::uint64_t boxBytes(std::uint64_t width, std::uint64_t height, double sizePercent) {
  if (width == 0 || height == 0 || width > 0x7FFFFFFF || height > 0x7FFFFFFF) return 0;
  const Size box = SizeThumb(sizePercent, Size{static_cast<int>(width), static_cast<int>(height)});
  return static_cast<std::uint64_t>(box.pixels()) * 3;
}

LoadEstimate pixelLoadEstimate(std::uint64_t width, std::uint64_t height, double sizePercent) {
  return {kSmallLoad + std::min<std::uint64_t>(width * height, std::uint64_t{1} << 32) * 4,
          boxBytes(width, height, sizePercent)};
}

std::uint64_t loadAheadBudget(unsigned jobs) {
  const std::uint64_t mb = std::uint64_t{1} << 20;
  const std::uint64_t further = jobs > 1 ? jobs - 1 : 0;
  return std::min<std::uint64_t>(84 * mb + 30 * mb * further, 320 * mb);
}

LoadEstimate estimateLoadBytes(const std::string& path, double sizePercent) {
  const util::UniqueFd fd = util::openForReading(path);
  if (!fd) return {kSmallLoad, 0};
  std::vector<std::uint8_t> head;
  if (!util::readOn(fd.get(), head, kHeadBytes)) head.clear();
  struct stat st {};
  const std::uint64_t fileBytes =
      ::fstat(fd.get(), &st) == 0 && st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  // The bytes read are held while decoding.
  const Codec& codec = codecForFile(path);
  const Bytes bytes(head.data(), head.size());
  LoadEstimate estimate = codec.estimateLoad(bytes, sizePercent);
  estimate.working += plannedReadBytes(codec, bytes, fileBytes);
  return estimate;
}

}  // namespace pixelmote::imaging
