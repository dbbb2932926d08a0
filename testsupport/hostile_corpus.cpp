#include "testsupport/hostile_corpus.h"

#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace pixelmote::testing {
namespace {

// The corpus is read and made by code that should never fail; when it does,
// the test that asked for it fails with this.
[[noreturn]] void broken(const std::string& what) { throw std::logic_error("hostile corpus: " + what); }

// The checked-in files live beside this source file.
std::string corpusFolder() {
  const std::string here = __FILE__;
  return here.substr(0, here.rfind('/')) + "/hostile";
}

std::string readWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) broken("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

unsigned byteAt(const std::string& s, std::size_t at) { return static_cast<std::uint8_t>(s.at(at)); }

std::string le16(unsigned v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8 & 0xFF)}; }
std::string be16(unsigned v) { return {static_cast<char>(v >> 8 & 0xFF), static_cast<char>(v & 0xFF)}; }
std::string le32(std::uint32_t v) { return le16(v & 0xFFFF) + le16(v >> 16); }

// A JPEG marker segment: the marker, the length, the payload.
std::string segment(unsigned code, const std::string& payload) {
  return std::string(1, '\xFF') + static_cast<char>(code) + be16(static_cast<unsigned>(payload.size() + 2)) + payload;
}

// The largest EXIF block a marker holds: a quarter-turn orientation and a
// description that fills the rest.
std::string hugeExif() {
  constexpr std::uint32_t kTextAt = 8 + 2 + 2 * 12 + 4;
  constexpr std::uint32_t kText = 65533 - 6 - kTextAt;
  std::string block = std::string("Exif\0\0II*\0", 10) + le32(8) + le16(2);
  block += le16(0x010E) + le16(2) + le32(kText) + le32(kTextAt);  // the description, ASCII
  block += le16(0x0112) + le16(3) + le32(1) + le32(6);            // the orientation, SHORT
  block += le32(0);
  for (std::uint32_t i = 0; i + 1 < kText; ++i) block += static_cast<char>('a' + i % 26);
  return block + '\0';
}

// `jpeg` with `count` APP1 segments holding `block` after its JFIF segment.
std::string withApp1(std::string jpeg, const std::string& block, int count) {
  const std::size_t at = byteAt(jpeg, 3) == 0xE0 ? 4 + (byteAt(jpeg, 4) << 8 | byteAt(jpeg, 5)) : 2;
  for (int i = 0; i < count; ++i) jpeg.insert(at, segment(0xE1, block));
  return jpeg;
}

// `jpeg` with its frame header (marker `sof`) declaring width x height.
std::string declaring(std::string jpeg, unsigned sof, unsigned width, unsigned height) {
  std::size_t at = 2;
  while (at + 9 < jpeg.size() && byteAt(jpeg, at) == 0xFF && byteAt(jpeg, at + 1) != sof) {
    at += 2 + (byteAt(jpeg, at + 2) << 8 | byteAt(jpeg, at + 3));
  }
  if (at + 9 >= jpeg.size() || byteAt(jpeg, at + 1) != sof) broken("a JPEG without the expected frame header");
  return jpeg.replace(at + 5, 4, be16(height) + be16(width));
}

// A uniform grey baseline JPEG written by hand: Huffman tables of one code
// each make every block's data two zero bits, so the file stays small
// however many pixels it declares.
std::string uniformGreyJpeg(unsigned width, unsigned height) {
  const std::string oneCode = std::string(1, '\1') + std::string(16, '\0');  // one code of one bit: symbol 0
  std::string file = "\xFF\xD8" + segment(0xDB, std::string(1, '\0') + std::string(64, '\1'));
  file += segment(0xC0, "\x08" + be16(height) + be16(width) + std::string("\x01\x01\x11\x00", 4));
  file += segment(0xC4, '\0' + oneCode) + segment(0xC4, '\x10' + oneCode);
  file += segment(0xDA, std::string("\x01\x01\x00\x00\x3F\x00", 6));
  const std::size_t blocks = std::size_t{(width + 7) / 8} * ((height + 7) / 8);
  return file + std::string((blocks * 2 + 7) / 8, '\0') + "\xFF\xD9";
}

}  // namespace

std::vector<CorpusFile> hostileCorpus(bool large) {
  const std::string folder = corpusFolder();
  std::vector<CorpusFile> files;
  std::istringstream list(readWhole(folder + "/corpus.tsv"));
  for (std::string name, flag, what;
       std::getline(list, name, '\t') && std::getline(list, flag, '\t') && std::getline(list, what);) {
    files.push_back({name, readWhole(folder + "/" + name), flag == "readable", what});
  }
  const std::string baseline = readWhole(folder + "/sampling-444.jpg");
  const std::string gif = readWhole(folder + "/size-1x1.gif");
  // The GIF's screen size is at 6; after a four-colour table, its frame at 25, the frame's size at 30.
  if (gif.at(25) != ',') broken("size-1x1.gif has its frame elsewhere");
  const std::string exif = hugeExif();
  std::vector<CorpusFile> made = {
      {"exif-huge.jpg", withApp1(baseline, exif, 1), true,
       "a JPEG with a 64 KB EXIF block: a quarter-turn orientation and a long description"},
      {"exif-many-huge-blocks.jpg", withApp1(baseline, exif, 16), true, "a JPEG with sixteen 64 KB EXIF blocks"},
      {"bomb-baseline.jpg", declaring(baseline, 0xC0, 65500, 65500), false,
       "a small baseline JPEG whose frame header declares 65500 x 65500 pixels"},
      {"bomb-progressive.jpg", declaring(readWhole(folder + "/progressive.jpg"), 0xC2, 65500, 65500), false,
       "a small progressive JPEG whose frame header declares 65500 x 65500 pixels"},
      {"screen-65535.gif", std::string(gif).replace(6, 4, le16(65535) + le16(65535)), false,
       "a GIF whose screen is 65535 x 65535 around a 1 x 1 frame"},
      {"frame-65535.gif", std::string(gif).replace(30, 4, le16(65535) + le16(65535)), false,
       "a 1 x 1 GIF whose frame declares 65535 x 65535 pixels"},
  };
  if (large) {
    made.push_back(
        {"pixels-2-28.jpg", uniformGreyJpeg(16384, 16384), true, "a valid 16384 x 16384 JPEG: exactly 2^28 pixels"});
    made.push_back({"pixels-over-2-28.jpg", uniformGreyJpeg(16384, 16385), false,
                    "a valid 16384 x 16385 JPEG: just over 2^28 pixels"});
  }
  files.insert(files.end(), made.begin(), made.end());
  return files;
}

}  // namespace pixelmote::testing
