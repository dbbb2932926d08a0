// Writes the seed corpora of the fuzz targets into a folder, one subfolder
// per target: the hostile test corpus, valid pictures of every type made by
// our encoders and (when ImageMagick's convert is there) in the variants
// other programs write, EXIF blocks and settings files.
//
//   make_seeds OUT_FOLDER
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/raster.h"
#include "testsupport/hostile_corpus.h"

namespace fs = std::filesystem;
using namespace pixelmote;
using namespace pixelmote::imaging;

namespace {

class SeedWriter {
 public:
  explicit SeedWriter(fs::path root) : m_root(std::move(root)) {}

  void add(const std::string& target, const std::string& name, const std::string& bytes) {
    const fs::path folder = m_root / target;
    fs::create_directories(folder);
    std::string clean;
    for (const char c : name) clean += (std::isalnum(static_cast<unsigned char>(c)) || c == '.' || c == '-') ? c : '_';
    const int n = m_count[target]++;
    std::ofstream out(folder / (std::to_string(n) + "-" + clean.substr(0, 80)), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) {
      std::fprintf(stderr, "make_seeds: cannot write into %s\n", folder.c_str());
      std::exit(1);
    }
  }

  void report() const {
    for (const auto& [target, n] : m_count) std::printf("%-9s %d seeds\n", target.c_str(), n);
  }

 private:
  fs::path m_root;
  std::map<std::string, int> m_count;
};

// Smooth gradients with a little texture: what photographs are like to a codec.
Raster picture(int w, int h, int colours = 0) {
  Raster r(Size{w, h});
  std::uint32_t noise = 12345;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      noise = noise * 1103515245u + 12345u;
      std::uint8_t* p = r.row(y) + static_cast<std::size_t>(x) * 3;
      if (colours > 0) {
        const int c = (x / 3 + y / 2) % colours;
        p[0] = static_cast<std::uint8_t>(c * 97);
        p[1] = static_cast<std::uint8_t>(c * 53 + 20);
        p[2] = static_cast<std::uint8_t>(255 - c * 31);
      } else {
        p[0] = static_cast<std::uint8_t>(x * 255 / (w > 1 ? w - 1 : 1));
        p[1] = static_cast<std::uint8_t>(y * 255 / (h > 1 ? h - 1 : 1));
        p[2] = static_cast<std::uint8_t>(((x ^ y) & 0x3F) + ((noise >> 16) & 0x1F));
      }
    }
  }
  return r;
}

// A JPEG with `segment` (marker and payload) placed right after SOI.
std::string withSegment(const std::string& jpeg, std::uint8_t marker, const std::string& payload) {
  std::string out = jpeg.substr(0, 2);
  const std::size_t length = payload.size() + 2;
  out += static_cast<char>(0xFF);
  out += static_cast<char>(marker);
  out += static_cast<char>(length >> 8);
  out += static_cast<char>(length & 0xFF);
  out += payload;
  out += jpeg.substr(2);
  return out;
}

// EXIF blocks built by hand, so that they can be wrong on purpose.
struct ExifBuilder {
  bool little = true;
  std::string out;
  void u16(unsigned v) {
    if (little) {
      out += static_cast<char>(v & 0xFF);
      out += static_cast<char>((v >> 8) & 0xFF);
    } else {
      out += static_cast<char>((v >> 8) & 0xFF);
      out += static_cast<char>(v & 0xFF);
    }
  }
  void u32(std::uint32_t v) {
    if (little) {
      u16(v & 0xFFFF);
      u16(v >> 16);
    } else {
      u16(v >> 16);
      u16(v & 0xFFFF);
    }
  }
};

enum class ExifFault { None, LongType, NoComponents, OffsetPastEnd, HugeCount, SelfLoop, Truncated };

std::string exifBlock(bool little, int orientation, ExifFault fault) {
  ExifBuilder b{little, std::string("Exif\0\0", 6)};
  b.out += little ? "II" : "MM";
  b.u16(42);
  b.u32(fault == ExifFault::OffsetPastEnd ? 0x7FFFFFF0u : 8u);
  b.u16(fault == ExifFault::HugeCount ? 0xFFFF : 2);
  // Orientation.
  b.u16(0x0112);
  b.u16(fault == ExifFault::LongType ? 4 : 3);
  b.u32(fault == ExifFault::NoComponents ? 0 : 1);
  if (fault == ExifFault::LongType) {
    b.u32(static_cast<std::uint32_t>(orientation));
  } else {
    b.u16(static_cast<unsigned>(orientation));
    b.u16(0);
  }
  // A description stored past the directory.
  b.u16(0x010E);
  b.u16(2);
  b.u32(6);
  b.u32(38);
  b.u32(fault == ExifFault::SelfLoop ? 8u : 0u);  // next directory
  b.out += std::string("hello", 6);
  if (fault == ExifFault::Truncated) b.out.resize(b.out.size() / 2);
  return b.out;
}

// The APP1 payloads of a JPEG's markers before its picture data.
std::vector<std::string> app1Payloads(const std::string& jpeg) {
  std::vector<std::string> found;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && static_cast<std::uint8_t>(jpeg[at]) == 0xFF) {
    const auto marker = static_cast<std::uint8_t>(jpeg[at + 1]);
    if (marker == 0xDA || marker == 0xD9) break;
    const std::size_t length = (static_cast<std::size_t>(static_cast<std::uint8_t>(jpeg[at + 2])) << 8) |
                               static_cast<std::uint8_t>(jpeg[at + 3]);
    if (length < 2 || at + 2 + length > jpeg.size()) break;
    if (marker == 0xE1) found.push_back(jpeg.substr(at + 4, length - 2));
    at += 2 + length;
  }
  return found;
}

// ImageMagick's convert of a picture with transparency into `format` with
// `options`; empty when convert is missing or fails.
class Magick {
 public:
  Magick() {
    char pattern[] = "/tmp/pixelmote-seeds-XXXXXX";
    if (::mkdtemp(pattern) != nullptr) m_folder = pattern;
    if (m_folder.empty() || std::system("command -v convert >/dev/null 2>&1") != 0) {
      m_folder.clear();
      return;
    }
    // 37 x 23 RGBA: gradients, and an alpha that goes from clear to solid.
    std::string raw;
    for (int y = 0; y < 23; ++y) {
      for (int x = 0; x < 37; ++x) {
        raw += static_cast<char>(x * 7);
        raw += static_cast<char>(y * 11);
        raw += static_cast<char>((x * y) & 0xFF);
        raw += static_cast<char>(x < 5 ? 0 : (x < 10 ? 128 : 255));
      }
    }
    std::ofstream(m_folder + "/in.rgba", std::ios::binary) << raw;
  }
  ~Magick() {
    if (!m_folder.empty()) {
      std::error_code ignored;
      fs::remove_all(m_folder, ignored);
    }
  }
  Magick(const Magick&) = delete;
  Magick& operator=(const Magick&) = delete;

  bool available() const { return !m_folder.empty(); }

  std::string convert(const std::string& options, const std::string& format) {
    if (!available()) return {};
    const std::string out = m_folder + "/out";
    std::remove(out.c_str());
    const std::string command = "convert -size 37x23 -depth 8 rgba:" + m_folder + "/in.rgba " + options + " " +
                                format + ":" + out + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0) {
      ++m_failures;
      return {};
    }
    std::ifstream in(out, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  int failures() const { return m_failures; }

 private:
  std::string m_folder;
  int m_failures = 0;
};

struct MagickVariant {
  const char* target;
  const char* format;
  const char* options;
};

constexpr MagickVariant kMagickVariants[] = {
    {"jpeg", "JPEG", "-quality 90"},
    {"jpeg", "JPEG", "-interlace JPEG"},
    {"jpeg", "JPEG", "-colorspace Gray"},
    {"jpeg", "JPEG", "-colorspace CMYK"},
    {"jpeg", "JPEG", "-sampling-factor 2x1"},
    {"jpeg", "JPEG", "-sampling-factor 1x1"},
    {"jpeg", "JPEG", "-sampling-factor 2x2 -define jpeg:restart-interval=1"},
    {"jpeg", "JPEG", "-define jpeg:arithmetic-coding=true"},
    {"gif", "GIF", ""},
    {"gif", "GIF", "-interlace GIF"},
    {"gif", "GIF", "-alpha off -colors 2"},
    {"png", "PNG8", ""},
    {"png", "PNG24", ""},
    {"png", "PNG32", ""},
    {"png", "PNG48", ""},
    {"png", "PNG64", ""},
    {"png", "PNG32", "-interlace PNG"},
    {"png", "PNG", "-colorspace Gray"},
    {"png", "PNG", "-colorspace Gray -depth 16"},
    {"png", "PNG", "-type GrayscaleAlpha"},
    {"png", "PNG", "-type Bilevel"},
    {"png", "PNG8", "-alpha off -colors 4"},
    {"tiff", "TIFF", "-compress None"},
    {"tiff", "TIFF", "-compress LZW"},
    {"tiff", "TIFF", "-compress Zip"},
    {"tiff", "TIFF", "-compress RLE"},
    {"tiff", "TIFF", "-alpha off -compress JPEG"},
    {"tiff", "TIFF", "-type Palette"},
    {"tiff", "TIFF", "-type Grayscale"},
    {"tiff", "TIFF", "-type Bilevel -compress Group4"},
    {"tiff", "TIFF", "-depth 16"},
    {"tiff", "TIFF", "-interlace Plane"},
    {"tiff", "TIFF", "-define tiff:tile-geometry=16x16"},
    {"tiff", "TIFF", "-alpha off -colorspace CMYK"},
    {"tiff", "TIFF", "-endian MSB -compress LZW"},
    {"tiff", "TIFF", "-orient bottom-right"},
    {"bmp", "BMP3", ""},
    {"bmp", "BMP2", "-alpha off"},
    {"bmp", "BMP", ""},
    {"bmp", "BMP3", "-type Palette"},
    {"bmp", "BMP3", "-alpha off -colors 16"},
    {"bmp", "BMP3", "-type Bilevel"},
    {"bmp", "BMP3", "-type Palette -compress RLE"},
    {"bmp", "BMP", "-define bmp:format=bmp4"},
    {"pcx", "PCX", ""},
    {"pcx", "PCX", "-type Palette"},
    {"pcx", "PCX", "-type Bilevel"},
    {"pcx", "PCX", "-alpha off -colors 16"},
    {"pcx", "PCX", "-type Grayscale"},
};

const char* const kSettingsSamples[] = {
    "",
    ("[Folder]\nPath=/home/user/Pictures\n[Image]\nType=JPG\nThumb=JPG\nColumn=5\nBorder=1\nPrefix=t_\n"
     "Size=38\nQuality=114\nSmooth=0\n"),
    "[Folder]\r\nPath=C:\\Pictures\r\n\r\n[Image]\r\nSize=12.5\r\nQuality=-3\r\nSmooth=1e9\r\n",
    "\xEF\xBB\xBF[Image]\nPrefix = t_ \n; a comment\n# another\nSize=\t76 \n",
    "[image]\nsize=1\n[IMAGE]\nSize=2\n[Image]\nSIZE=3\nsize=4",
    "no section=1\n[]\n=empty key\n[Image\nQuality\n[Image]x\nQuality=1=2\n",
    "[Folder]\nPath=/caf\xC3\xA9/\xFF\xFE/<script>&amp;\n\n\n[Image]\nSmooth=152.000001\nSize=-0\n",
    "\r\n\r\n[A]\rB=C\r\n[ Image ]\n  Size  =  ,5  \n",
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT_FOLDER\n", argv[0]);
    return 2;
  }
  SeedWriter seeds(argv[1]);

  // The hostile corpus, by what its files are named.
  static const std::map<std::string, std::string> kTargetOfExtension = {
      {"jpg", "jpeg"}, {"jpeg", "jpeg"}, {"gif", "gif"}, {"png", "png"},
      {"tif", "tiff"}, {"tiff", "tiff"}, {"bmp", "bmp"}, {"pcx", "pcx"}};
  // A corpus that cannot be made is reported, and the other seeds still written.
  bool corpusMade = true;
  std::vector<testing::CorpusFile> corpus;
  try {
    corpus = testing::hostileCorpus(false);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_seeds: the hostile corpus failed: %s\n", e.what());
    corpusMade = false;
  }
  for (const auto& file : corpus) {
    const auto dot = file.name.rfind('.');
    std::string ext = dot == std::string::npos ? "" : file.name.substr(dot + 1);
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto target = kTargetOfExtension.find(ext);
    if (target == kTargetOfExtension.end()) continue;
    seeds.add(target->second, "corpus-" + file.name, file.bytes);
    if (target->second == "jpeg") {
      for (const auto& payload : app1Payloads(file.bytes)) seeds.add("exif", "corpus-" + file.name, payload);
    }
  }

  // Valid pictures of every type from our own encoders.
  const Size kSizes[] = {{1, 1}, {3, 2}, {17, 13}, {64, 48}, {1, 300}, {300, 1}, {90, 140}};
  for (const Size s : kSizes) {
    const std::string tag = std::to_string(s.width) + "x" + std::to_string(s.height);
    for (const int colours : {0, 2, 16}) {
      const Raster r = picture(s.width, s.height, colours);
      const std::string name = tag + "-c" + std::to_string(colours);
      if (auto b = encodeJpeg(r, colours == 0 ? 75 : 30, colours == 2 ? 40 : 0, colours == 16 ? "a comment" : ""))
        seeds.add("jpeg", name + ".jpg", b.value());
      if (auto b = encodeGif(r, colours == 2 ? 1 : 8, colours == 0 ? "" : "made for fuzzing"))
        seeds.add("gif", name + ".gif", b.value());
      for (const int bits : {1, 8}) {
        const std::string b = "-b" + std::to_string(bits);
        if (auto e = encodePng(r, bits)) seeds.add("png", name + b + ".png", e.value());
        if (auto e = encodeTiff(r, bits)) seeds.add("tiff", name + b + ".tif", e.value());
        if (auto e = encodePcx(r, bits)) seeds.add("pcx", name + b + ".pcx", e.value());
      }
      if (auto e = encodeBmp(r)) seeds.add("bmp", name + ".bmp", e.value());
    }
  }

  // EXIF blocks, alone and inside JPEGs.
  const auto base = encodeJpeg(picture(16, 8), 75, 0);
  for (const bool little : {true, false}) {
    for (int orientation = 0; orientation <= 9; ++orientation) {
      const std::string block = exifBlock(little, orientation, ExifFault::None);
      const std::string name = std::string(little ? "ii" : "mm") + "-o" + std::to_string(orientation);
      seeds.add("exif", name, block);
      if (base && orientation >= 1 && orientation <= 8)
        seeds.add("jpeg", name + ".jpg", withSegment(base.value(), 0xE1, block));
    }
    for (const ExifFault fault : {ExifFault::LongType, ExifFault::NoComponents, ExifFault::OffsetPastEnd,
                                  ExifFault::HugeCount, ExifFault::SelfLoop, ExifFault::Truncated}) {
      const std::string block = exifBlock(little, 6, fault);
      const std::string name = std::string(little ? "ii" : "mm") + "-fault" + std::to_string(static_cast<int>(fault));
      seeds.add("exif", name, block);
      if (base) seeds.add("jpeg", name + ".jpg", withSegment(base.value(), 0xE1, block));
    }
  }
  seeds.add("exif", "not-exif", std::string("http://ns.adobe.com/xap/1.0/\0<x:xmpmeta/>", 41));

  // What other programs write.
  Magick magick;
  int made = 0;
  for (const auto& v : kMagickVariants) {
    const std::string bytes = magick.convert(v.options, v.format);
    if (bytes.empty()) continue;
    ++made;
    seeds.add(v.target, std::string("magick-") + v.format + v.options, bytes);
    if (std::string(v.target) == "jpeg") {
      for (const auto& payload : app1Payloads(bytes)) seeds.add("exif", "magick", payload);
    }
  }
  if (!magick.available()) {
    std::printf("convert not found: no seeds from ImageMagick\n");
  } else if (magick.failures() > 0) {
    std::printf("convert made %d of %zu variants\n", made, std::size(kMagickVariants));
  }

  for (const char* text : kSettingsSamples) seeds.add("settings", "settings.ini", text);

  seeds.report();
  return corpusMade ? 0 : 1;
}
