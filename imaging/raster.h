// Pictures in memory: 8-bit RGB rasters, sizes, and the row-by-row sink
// through which decoders deliver pictures.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace pixelmote::imaging {

struct Size {
  int width = 0;
  int height = 0;
  bool operator==(const Size&) const = default;
  std::int64_t pixels() const { return static_cast<std::int64_t>(width) * height; }
};

struct Rgb {
  std::uint8_t r = 0;
  std::uint8_t g = 0;
  std::uint8_t b = 0;
  bool operator==(const Rgb&) const = default;
};

// What cleared surfaces and transparent pixels become.
inline constexpr Rgb kSurfaceBackground{255, 255, 255};

// An RGB picture, 3 bytes per pixel, rows top to bottom without padding.
struct Raster {
  Size size;
  std::vector<std::uint8_t> rgb;

  Raster() = default;
  Raster(Size s, Rgb fill = kSurfaceBackground) : size(s), rgb(static_cast<std::size_t>(s.pixels()) * 3) {
    for (std::size_t i = 0; i < rgb.size(); i += 3) {
      rgb[i] = fill.r;
      rgb[i + 1] = fill.g;
      rgb[i + 2] = fill.b;
    }
  }
  std::size_t stride() const { return static_cast<std::size_t>(size.width) * 3; }
  std::uint8_t* row(int y) { return rgb.data() + static_cast<std::size_t>(y) * stride(); }
  const std::uint8_t* row(int y) const { return rgb.data() + static_cast<std::size_t>(y) * stride(); }
  Rgb at(int x, int y) const {
    const std::uint8_t* p = row(y) + static_cast<std::size_t>(x) * 3;
    return {p[0], p[1], p[2]};
  }
  bool operator==(const Raster&) const = default;
};

// Where the delivered pixels lie on the picture at its full displayed size,
// for a decoder that reduces while decoding. Along each axis every
// delivered pixel covers `source` / `delivered` source pixels, in a grid
// that starts at the picture's start (left, top) or, where `endAligned...`
// says so, at its end (right, bottom). A decoder reducing blocks rounds its
// output up, so the pixel at the other end of the grid may cover only part
// of its span: the rest lies outside the picture. The default is one
// delivered pixel per source pixel.
struct Coverage {
  int source = 1;
  int delivered = 1;
  bool endAlignedAcross = false;
  bool endAlignedDown = false;
  bool operator==(const Coverage&) const = default;
};

// Receives a decoded picture row by row.
class RowSink {
 public:
  virtual ~RowSink() = default;
  // Called once before any row. `rows` is the size of the rows that follow;
  // `full` is the picture's size as displayed at full resolution (larger
  // than `rows` when the decoder reduced while decoding) and `coverage`
  // tells which part of it each delivered pixel stands for. Returning false
  // refuses the picture: the decoder stops and fails.
  virtual bool begin(Size rows, Size full, const Coverage& coverage) = 0;
  // Row `y` (0 = top) of rows.width RGB pixels. Rows come in order, each once.
  virtual void row(int y, const std::uint8_t* rgb) = 0;
};

// A sink that keeps the whole picture.
class RasterSink : public RowSink {
 public:
  bool begin(Size rows, Size full, const Coverage&) override {
    raster = Raster(rows);
    fullSize = full;
    return true;
  }
  void row(int y, const std::uint8_t* rgb) override {
    const std::size_t n = raster.stride();
    for (std::size_t i = 0; i < n; ++i) raster.row(y)[i] = rgb[i];
  }
  Raster raster;
  Size fullSize;
};

}  // namespace pixelmote::imaging
