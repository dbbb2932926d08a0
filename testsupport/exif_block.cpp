#include "testsupport/exif_block.h"

#include <cstdlib>
#include <libexif/exif-data.h>

namespace pixelmote::testing {

std::string exifOrientationBlock(int orientation, bool bigEndian) {
  const ExifByteOrder order = bigEndian ? EXIF_BYTE_ORDER_MOTOROLA : EXIF_BYTE_ORDER_INTEL;
  ExifData* data = exif_data_new();
  if (data == nullptr) return {};
  exif_data_set_byte_order(data, order);
  exif_data_fix(data);
  ExifEntry* entry = exif_content_get_entry(data->ifd[EXIF_IFD_0], EXIF_TAG_ORIENTATION);
  if (entry == nullptr) {
    entry = exif_entry_new();
    exif_content_add_entry(data->ifd[EXIF_IFD_0], entry);
    exif_entry_initialize(entry, EXIF_TAG_ORIENTATION);
    exif_entry_unref(entry);  // the directory holds it now
  }
  exif_set_short(entry->data, order, static_cast<ExifShort>(orientation));
  unsigned char* buffer = nullptr;
  unsigned int size = 0;
  exif_data_save_data(data, &buffer, &size);
  std::string block(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  exif_data_unref(data);
  return block;
}

}  // namespace pixelmote::testing
