// Resampling a picture to the thumbnail box by area averaging, row by row,
// as the rows arrive from a decoder.
#pragma once

#include <functional>
#include <vector>

#include "imaging/raster.h"

namespace pixelmote::imaging {

// A sink that resamples the incoming rows to a target size chosen when the
// picture's size is known. Every target pixel is the average of the source
// area it covers (fractional pixels weighted by their share), so reductions
// keep fine detail as a smooth average rather than dropping rows and
// columns. The area is that of the picture at full size: rows a decoder
// reduced while decoding count by the part of the picture their pixels
// cover (see Coverage), so a rounded-up edge pixel that lies partly outside
// the picture neither stretches it nor weighs more than its share.
// Memory: the target raster and one accumulator row per open target row;
// the source is never held whole.
class BoxReducer : public RowSink {
 public:
  // `target` maps the decoder's announced sizes (rows delivered, picture's
  // full displayed size) to the wanted output size.
  explicit BoxReducer(std::function<Size(Size rows, Size full)> target) : m_target(std::move(target)) {}

  bool begin(Size rows, Size full, const Coverage& coverage) override;
  void row(int y, const std::uint8_t* rgb) override;

  // The resampled picture; complete once every source row has arrived.
  const Raster& result() const { return m_out; }
  Raster takeResult() { return std::move(m_out); }
  Size fullSize() const { return m_full; }
  // Source rows received so far.
  int rowsReceived() const { return m_received; }

 private:
  struct Tap {
    int source;
    float weight;
  };
  void finishRow(int ty);

  std::function<Size(Size, Size)> m_target;
  Size m_in;
  Size m_full;
  Raster m_out;
  int m_received = 0;
  bool m_identity = false;
  double m_scaleDown = 1;   // delivered rows per target row
  double m_offsetDown = 0;  // delivered rows before the picture's top edge
  // Horizontal taps: for target column x, m_taps[m_tapStart[x] .. m_tapStart[x+1]).
  std::vector<Tap> m_taps;
  std::vector<int> m_tapStart;
  std::vector<float> m_line;         // the current source row, resampled across
  std::vector<float> m_acc;          // accumulators of the open target rows
  int m_firstOpen = 0;               // target row held in m_acc's first slot
  int m_openRows = 0;
};

}  // namespace pixelmote::imaging
