// Shared pieces of the fuzz targets: the limits they decode with, a sink
// that checks the row protocol, and the checks that stop a run on a finding.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/codec.h"
#include "imaging/raster.h"
#include "util/result.h"

namespace pixelmote::fuzzing {

// The program decodes with DecodeLimits' defaults (2^28 declared pixels).
// Under the fuzzer's 2 GB memory limit, with AddressSanitizer's overhead on
// top, a picture that size is a false alarm rather than a finding, and a few
// bytes of RLE can declare one; the targets allow 2^24 pixels, which keeps
// such inputs to tens of milliseconds. Every other limit is the program's own.
inline imaging::DecodeLimits fuzzLimits() {
  imaging::DecodeLimits limits;
  limits.maxPixels = std::int64_t{1} << 24;
  return limits;
}

// Stops the run: libFuzzer reports the abort and saves the input.
[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::abort();
}

inline void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

inline imaging::Bytes bytesOf(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// A small number taken from the input, so that one input always takes the
// same path but different inputs vary the settings.
inline unsigned pick(const std::uint8_t* data, std::size_t size, unsigned count) {
  std::uint32_t h = 2166136261u;
  const std::size_t n = size < 64 ? size : 64;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ data[size - 1 - i]) * 16777619u;
  h ^= static_cast<std::uint32_t>(size);
  return count == 0 ? 0 : h % count;
}

using HeadCheckFn = util::Result<imaging::HeadCheck> (*)(imaging::Bytes, std::uint64_t, const imaging::DecodeLimits&);

// The head check given the whole input agrees with the decoder's `decoded`
// status: what it refuses, the decoder refuses with the same message, and
// it never asks for more than there is.
inline void checkHeadAgrees(HeadCheckFn headCheck, imaging::Bytes bytes, const imaging::DecodeLimits& limits,
                            const util::Status& decoded) {
  const auto head = headCheck(bytes, bytes.size(), limits);
  if (!head) {
    check(!decoded, "head check refuses what the decoder reads");
    check(decoded.message() == head.message(), "head check refuses with another message than the decoder");
    return;
  }
  check(head.value().needBytes <= bytes.size(), "head check asks for more than the whole file");
}

// Passes rows on to `next` and checks what a decoder promises a sink:
// begin once before any row, then rows 0, 1, ... of the announced width,
// each once, every byte of each row readable.
class ProtocolSink : public imaging::RowSink {
 public:
  explicit ProtocolSink(imaging::RowSink& next) : m_next(next) {}

  bool begin(imaging::Size rows, imaging::Size full, const imaging::Coverage& coverage) override {
    check(m_begins == 0, "begin called twice");
    ++m_begins;
    check(rows.width > 0 && rows.height > 0, "begin with an empty size");
    check(full.width >= rows.width && full.height >= rows.height, "rows larger than the full picture");
    m_rows = rows;
    m_full = full;
    check(coverage.source > 0 && coverage.delivered > 0 && coverage.delivered <= coverage.source,
          "coverage that is not a reduction");
    // A reducing decoder rounds its output up, never by a whole pixel more.
    const auto roundedUp = [&](int side) {
      return (std::int64_t{side} * coverage.delivered + coverage.source - 1) / coverage.source;
    };
    check(roundedUp(full.width) == rows.width && roundedUp(full.height) == rows.height,
          "rows that do not match the coverage");
    m_accepted = m_next.begin(rows, full, coverage);
    if (m_accepted) m_copy.resize(static_cast<std::size_t>(rows.width) * 3);
    return m_accepted;
  }

  void row(int y, const std::uint8_t* rgb) override {
    check(m_begins == 1, "row before begin");
    check(m_accepted, "row after begin was refused");
    check(y == m_delivered, "rows out of order");
    check(y < m_rows.height, "more rows than announced");
    check(rgb != nullptr, "null row");
    // Reading the whole row lets AddressSanitizer see a short buffer.
    std::memcpy(m_copy.data(), rgb, m_copy.size());
    ++m_delivered;
    m_next.row(y, rgb);
  }

  // What a decoder that reported success must have done.
  void checkComplete() const {
    check(m_begins == 1 && m_accepted, "success without a picture");
    check(m_delivered == m_rows.height, "success with rows missing");
  }

  imaging::Size rows() const { return m_rows; }
  imaging::Size full() const { return m_full; }
  int delivered() const { return m_delivered; }

 private:
  imaging::RowSink& m_next;
  int m_begins = 0;
  bool m_accepted = false;
  int m_delivered = 0;
  imaging::Size m_rows;
  imaging::Size m_full;
  std::vector<std::uint8_t> m_copy;
};

}  // namespace pixelmote::fuzzing
