#include "imaging/reduce.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace pixelmote::imaging {

namespace {

// The interval of delivered pixels that target index t covers:
// [offset + t * scale, offset + (t + 1) * scale).
struct Span {
  double from;
  double to;
};

Span spanOf(int t, double scale, double offset) { return {offset + t * scale, offset + (t + 1) * scale}; }

std::uint8_t toByte(float v) {
  const float r = std::floor(v + 0.5f);
  return static_cast<std::uint8_t>(r < 0.0f ? 0.0f : (r > 255.0f ? 255.0f : r));
}

}  // namespace

bool BoxReducer::begin(Size rows, Size full, const Coverage& coverage) {
  m_in = rows;
  m_full = full;
  const Size out = m_target(rows, full);
  if (rows.width <= 0 || rows.height <= 0 || out.width <= 0 || out.height <= 0) return false;
  if (coverage.source <= 0 || coverage.delivered <= 0) return false;
  // The picture's extent in delivered pixels (a partly covered edge pixel
  // counts by its part) and, for a grid aligned to the picture's end, the
  // uncovered part of the first delivered pixel. Rows short of what the
  // coverage announces are taken as the whole picture.
  const auto extent = [&](int delivered, int fullSide) {
    return std::min<double>(delivered, static_cast<double>(fullSide) * coverage.delivered / coverage.source);
  };
  const double across = extent(rows.width, full.width);
  const double down = extent(rows.height, full.height);
  if (!(across > 0) || !(down > 0)) return false;
  const double offsetAcross = coverage.endAlignedAcross ? rows.width - across : 0.0;
  m_offsetDown = coverage.endAlignedDown ? rows.height - down : 0.0;
  m_scaleDown = down / out.height;
  m_out = Raster(out);
  m_received = 0;
  m_identity = out == rows && across == rows.width && down == rows.height;
  if (m_identity) return true;

  // Horizontal taps with weights that sum to 1 per target pixel. Target
  // spans lie within the picture, so a partly covered edge pixel weighs only
  // by the part of it that shows the picture.
  const double scale = across / out.width;
  m_taps.clear();
  m_tapStart.assign(static_cast<std::size_t>(out.width) + 1, 0);
  for (int x = 0; x < out.width; ++x) {
    m_tapStart[x] = static_cast<int>(m_taps.size());
    const Span s = spanOf(x, scale, offsetAcross);
    const int first = std::max(0, static_cast<int>(std::floor(s.from)));
    const int last = std::min(rows.width - 1, static_cast<int>(std::ceil(s.to)) - 1);
    for (int sx = first; sx <= last; ++sx) {
      const double overlap = std::min<double>(sx + 1, s.to) - std::max<double>(sx, s.from);
      if (overlap > 0) m_taps.push_back({sx, static_cast<float>(overlap / scale)});
    }
  }
  m_tapStart[out.width] = static_cast<int>(m_taps.size());
  m_line.assign(static_cast<std::size_t>(out.width) * 3, 0.0f);
  m_acc.clear();
  m_firstOpen = 0;
  m_openRows = 0;
  return true;
}

void BoxReducer::row(int y, const std::uint8_t* rgb) {
  if (y < 0 || y >= m_in.height) return;
  ++m_received;
  if (m_identity) {
    std::memcpy(m_out.row(y), rgb, m_out.stride());
    return;
  }
  const Size out = m_out.size;
  // Across: this source row resampled to the target width.
  for (int x = 0; x < out.width; ++x) {
    float r = 0, g = 0, b = 0;
    for (int t = m_tapStart[x]; t < m_tapStart[x + 1]; ++t) {
      const std::uint8_t* p = rgb + static_cast<std::size_t>(m_taps[t].source) * 3;
      const float w = m_taps[t].weight;
      r += p[0] * w;
      g += p[1] * w;
      b += p[2] * w;
    }
    m_line[x * 3] = r;
    m_line[x * 3 + 1] = g;
    m_line[x * 3 + 2] = b;
  }
  // Down: add it to every target row whose interval it overlaps.
  const double scale = m_scaleDown;
  const double offset = m_offsetDown;
  const int firstTarget = static_cast<int>(std::floor((y - offset) / scale));
  const int lastTarget = std::min(out.height - 1, static_cast<int>(std::ceil((y + 1 - offset) / scale)) - 1);
  const std::size_t width3 = static_cast<std::size_t>(out.width) * 3;
  // Rows already finished are skipped: what this source row could still add
  // to them is rounding noise in where their intervals end.
  for (int ty = std::max(firstTarget, m_firstOpen); ty <= lastTarget; ++ty) {
    const Span s = spanOf(ty, scale, offset);
    const double overlap = std::min<double>(y + 1, s.to) - std::max<double>(y, s.from);
    if (overlap <= 0) continue;
    // Open target rows up to ty.
    while (m_firstOpen + m_openRows <= ty) {
      m_acc.resize(static_cast<std::size_t>(m_openRows + 1) * width3, 0.0f);
      ++m_openRows;
    }
    float* acc = m_acc.data() + static_cast<std::size_t>(ty - m_firstOpen) * width3;
    const float w = static_cast<float>(overlap / scale);
    for (std::size_t i = 0; i < width3; ++i) acc[i] += m_line[i] * w;
  }
  // Target rows that end within this source row are complete.
  while (m_openRows > 0 && (spanOf(m_firstOpen, scale, offset).to <= y + 1 + 1e-9 || y == m_in.height - 1)) {
    finishRow(m_firstOpen);
    m_acc.erase(m_acc.begin(), m_acc.begin() + static_cast<std::ptrdiff_t>(width3));
    ++m_firstOpen;
    --m_openRows;
  }
}

void BoxReducer::finishRow(int ty) {
  std::uint8_t* dst = m_out.row(ty);
  const float* acc = m_acc.data();
  const std::size_t n = m_out.stride();
  for (std::size_t i = 0; i < n; ++i) dst[i] = toByte(acc[i]);
}

}  // namespace pixelmote::imaging
