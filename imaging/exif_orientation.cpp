#include "imaging/exif_orientation.h"

#include <cstring>
#include <memory>

#include <libexif/exif-data.h>

namespace pixelmote::imaging {
namespace {

struct ExifDataRelease {
  void operator()(ExifData* data) const noexcept { exif_data_unref(data); }
};
using ExifDataHandle = std::unique_ptr<ExifData, ExifDataRelease>;

constexpr std::uint8_t kExifHeader[6] = {'E', 'x', 'i', 'f', 0, 0};

}  // namespace

int exifOrientation(std::span<const std::uint8_t> app1Payload) {
  // Without the header libexif would hunt through the bytes for one; an
  // APP1 block that is not EXIF (XMP, for one) has no orientation for us.
  if (app1Payload.size() <= sizeof kExifHeader ||
      std::memcmp(app1Payload.data(), kExifHeader, sizeof kExifHeader) != 0) {
    return 1;
  }
  // A JPEG marker segment holds at most 64 KB; anything longer is not one.
  if (app1Payload.size() > 0xFFFF) return 1;
  ExifDataHandle data(exif_data_new());
  if (!data) return 1;
  exif_data_load_data(data.get(), app1Payload.data(), static_cast<unsigned int>(app1Payload.size()));

  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr || entry->data == nullptr || entry->format != EXIF_FORMAT_SHORT ||
      entry->components < 1 || entry->size < 2) {
    return 1;
  }
  const int value = exif_get_short(entry->data, exif_data_get_byte_order(data.get()));
  return value >= 1 && value <= 8 ? value : 1;
}

}  // namespace pixelmote::imaging
