#include "imaging/palette.h"

#include <string>
#include <unordered_map>

namespace pixelmote::imaging {

util::Status checkWritable(const Raster& raster) {
  const std::int64_t w = raster.size.width;
  const std::int64_t h = raster.size.height;
  const std::string size = std::to_string(w) + " x " + std::to_string(h);
  if (w <= 0 || h <= 0) return util::Status::failure("cannot write an empty picture of " + size + " pixels");
  if (raster.rgb.size() != static_cast<std::uint64_t>(w * h) * 3)
    return util::Status::failure("picture data of " + std::to_string(raster.rgb.size()) +
                                 " bytes does not match its size of " + size + " pixels");
  return util::Status::success();
}

std::optional<ExactPalette> exactPalette(const Raster& raster, std::size_t limit) {
  ExactPalette result;
  result.indices.resize(static_cast<std::size_t>(raster.size.pixels()));
  std::unordered_map<std::uint32_t, std::uint8_t> lookup;
  lookup.reserve(limit * 2);
  std::uint32_t lastKey = 0xFFFFFFFF;  // no 24-bit colour has this key
  std::uint8_t lastIndex = 0;
  const std::uint8_t* p = raster.rgb.data();
  for (std::size_t i = 0; i < result.indices.size(); ++i, p += 3) {
    const std::uint32_t key = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    if (key != lastKey) {
      auto it = lookup.find(key);
      if (it == lookup.end()) {
        if (result.colours.size() >= limit || result.colours.size() >= 256) return std::nullopt;
        it = lookup.emplace(key, static_cast<std::uint8_t>(result.colours.size())).first;
        result.colours.push_back(Rgb{p[0], p[1], p[2]});
      }
      lastKey = key;
      lastIndex = it->second;
    }
    result.indices[i] = lastIndex;
  }
  return result;
}

int indexBits(std::size_t colours) {
  if (colours <= 2) return 1;
  if (colours <= 4) return 2;
  if (colours <= 16) return 4;
  return 8;
}

}  // namespace pixelmote::imaging
