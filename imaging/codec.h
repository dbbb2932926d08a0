// The picture formats: each one's decoder, head check, load estimate and
// encoder, and the table that finds a format by a file's name.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "imaging/raster.h"
#include "util/result.h"

namespace pixelmote::imaging {

// Bounds every decoder enforces before it allocates or works.
struct DecodeLimits {
  std::int64_t maxPixels = std::int64_t{1} << 28;  // declared width × height (GIF: screen and frame)
  std::int64_t maxDecoderMemory = std::int64_t{256} << 20;  // the JPEG decoder's working memory
  int maxProgressiveScans = 100;
  // Bytes before the picture data (markers, extensions, metadata) that the
  // head check reads to find the declared size.
  std::int64_t maxHeaderBytes = std::int64_t{64} << 20;
};

struct DecodeRequest {
  Rgb background = kSurfaceBackground;  // what transparent pixels are composed over
  // Given the picture's displayed size, the smallest size the caller needs.
  // A decoder that can reduce while decoding (JPEG) may deliver any size at
  // least this large in both directions; unset means full size.
  std::function<Size(Size full)> minimumSize;
  DecodeLimits limits;
  // When set, receives the ICC profile the delivered rows are in (JPEG,
  // GIF); left empty when they are sRGB: the picture had no usable profile,
  // or the decoder converted its pixels to sRGB (CMYK and gray JPEGs).
  std::vector<std::uint8_t>* profile = nullptr;
};

using Bytes = std::span<const std::uint8_t>;

// Decoders. Each checks that the bytes are a picture of its type, refuses a
// declared size beyond the limits before allocating for it, and fails on
// data that ends early or is corrupt. The message says what is wrong, e.g.
// "not a GIF file", "picture of 70000 x 70000 pixels is too large",
// "data ends early". Rows go to `sink` only after begin() accepted them;
// a failure may come after some rows were delivered.
util::Status decodeJpeg(Bytes data, const DecodeRequest& request, RowSink& sink);
util::Status decodeGif(Bytes data, const DecodeRequest& request, RowSink& sink);
util::Status decodePng(Bytes data, const DecodeRequest& request, RowSink& sink);
util::Status decodeTiff(Bytes data, const DecodeRequest& request, RowSink& sink);
util::Status decodeBmp(Bytes data, const DecodeRequest& request, RowSink& sink);
util::Status decodePcx(Bytes data, const DecodeRequest& request, RowSink& sink);

// What a picture file's first bytes tell before the rest of it is read.
struct HeadCheck {
  // The header runs past the head: ask again with at least this many bytes
  // (0 when the head was enough).
  std::uint64_t needBytes = 0;
  // The most bytes from the start of the file that decoding can use: the
  // header, room for metadata, and the worst-case coded size of the declared
  // pixels. kWholeFile for forms whose data may lie anywhere in the file.
  std::uint64_t readBound = 0;
};
inline constexpr std::uint64_t kWholeFile = UINT64_MAX;

// Head checks, one per decoder, by the decoder's own header rules: `head` is
// the start of a file of `fileSize` bytes. Bytes that are not of the type,
// or a declared size beyond the limits, fail with the decoder's message;
// anything else wrong is left for the decoder to find. Nothing is allocated
// in proportion to the file or the declared size.
util::Result<HeadCheck> checkJpegHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);
util::Result<HeadCheck> checkGifHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);
util::Result<HeadCheck> checkPngHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);
util::Result<HeadCheck> checkTiffHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);
util::Result<HeadCheck> checkBmpHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);
util::Result<HeadCheck> checkPcxHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits);

// Room the read bounds leave for tables and metadata (EXIF, ICC profiles,
// XMP, text chunks) besides the coded pixels.
inline constexpr std::uint64_t kMetadataRoom = std::uint64_t{16} << 20;

// Encoders: the complete file as bytes.
// JPEG: quality 0-100 and smoothing 0-100 as the libjpeg settings; chroma
// at full resolution from quality 90, halved both ways below. A non-empty
// `comment` is stored in a comment marker (at most 65,533 bytes), first
// after the JFIF header; a non-empty `iccProfile` follows it in APP2
// segments as the ICC standard splits them.
util::Result<std::string> encodeJpeg(const Raster& raster, int quality, int smoothing,
                                     std::string_view comment = {}, std::span<const std::uint8_t> iccProfile = {});
// GIF: a palette of at most 2^bits colours (bits 1-8) computed from the
// picture, with error-diffusion dithering; a non-empty `comment` (without
// NUL bytes) is stored in a comment extension before the picture.
util::Result<std::string> encodeGif(const Raster& raster, int bits, std::string_view comment = {});

// The comment a JPEG (its first comment marker before the picture data) or
// GIF (its first comment extension before the picture) file begins with;
// empty when there is none or the bytes are not such a file.
std::string leadingComment(Bytes data);
// Lossless types: the same pixels come back after a read. A palette form is
// used only when the picture has at most 2^bits colours (bits 1-8).
util::Result<std::string> encodePng(const Raster& raster, int bits);
util::Result<std::string> encodeTiff(const Raster& raster, int bits);
util::Result<std::string> encodeBmp(const Raster& raster);  // 24-bit
util::Result<std::string> encodePcx(const Raster& raster, int bits);  // 8-bit palette or 24-bit

// Memory that loading a picture into its thumbnail box holds at its peak.
struct LoadEstimate {
  std::uint64_t working = 0;  // the decoder's, given back when the load ends
  std::uint64_t box = 0;      // the box delivered, held until it is used
  std::uint64_t total() const { return working + box; }
};

// What an encoder is asked for; each format takes the settings it has
// (JPEG: quality, smoothing, comment, profile; GIF: bits, comment; PNG, TIFF,
// PCX: bits; BMP: none).
struct EncodeSettings {
  int quality = 75;
  int smoothing = 0;
  int bits = 8;
  std::string_view comment;
  std::span<const std::uint8_t> iccProfile;
};

// One picture format: the suffixes its files are named by, and how they are
// checked, estimated, read and written.
struct Codec {
  std::string_view name;                       // "JPEG"
  std::span<const std::string_view> suffixes;  // lower case; the first is the three-letter form
  // The imaging library's numeric file-type code, and whether the library's
  // type lookup knows the format by its first suffix only (it takes "jpg"
  // and "tif" but not "jpeg" and "tiff").
  int libraryType = 0;
  bool libraryFirstSuffixOnly = true;
  util::Result<HeadCheck> (*checkHead)(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits) = nullptr;
  // The memory that loading a picture whose file begins with `head` (256 KB
  // is plenty) into its box at `sizePercent` holds, from the header alone,
  // without the file's bytes; a small figure when the header cannot be
  // read: such a picture fails early.
  LoadEstimate (*estimateLoad)(Bytes head, double sizePercent) = nullptr;
  util::Status (*decode)(Bytes data, const DecodeRequest& request, RowSink& sink) = nullptr;
  util::Result<std::string> (*encode)(const Raster& raster, const EncodeSettings& settings) = nullptr;
};

// The entries, each defined beside its decoder.
extern const Codec kJpegCodec;
extern const Codec kGifCodec;
extern const Codec kPcxCodec;
extern const Codec kBmpCodec;
extern const Codec kPngCodec;
extern const Codec kTiffCodec;

// Every format, once each.
std::span<const Codec* const> allCodecs();

// The format one of whose suffixes is `suffix` (without the dot, any letter
// case); null when none is.
const Codec* codecForSuffix(std::string_view suffix);

// The format a picture file is decoded as: by the suffix after the last "."
// of its name; JPEG when the name has no known suffix.
const Codec& codecForFile(std::string_view path);

}  // namespace pixelmote::imaging
