#include "imaging/codec.h"

#include "util/path.h"

namespace pixelmote::imaging {

namespace {

// One row per format. A name matches the first row that lists its suffix.
constexpr const Codec* kCodecs[] = {&kJpegCodec, &kGifCodec, &kPcxCodec, &kBmpCodec, &kPngCodec, &kTiffCodec};

}  // namespace

std::span<const Codec* const> allCodecs() { return kCodecs; }

const Codec* codecForSuffix(std::string_view suffix) {
  const std::string lower = util::asciiLower(suffix);
  for (const Codec* codec : kCodecs) {
    for (const std::string_view known : codec->suffixes) {
      if (lower == known) return codec;
    }
  }
  return nullptr;
}

const Codec& codecForFile(std::string_view path) {
  const std::string name = util::FileNamePart(path);
  if (const auto dot = name.rfind('.'); dot != std::string::npos) {
    if (const Codec* codec = codecForSuffix(std::string_view(name).substr(dot + 1))) return *codec;
  }
  return kJpegCodec;  // jpg, jpeg and anything unknown
}

}  // namespace pixelmote::imaging
