#include <algorithm>
#include <array>
#include <climits>
#include <csetjmp>
#include <cstddef>
#include <cstdint>
#include <cstdio>  // jpeglib.h needs FILE and size_t declared first
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include <jpeglib.h>
// After jpeglib.h: jerror.h lists some codes only when jconfig.h was seen.
#include <jerror.h>

#include "imaging/codec.h"
#include "imaging/estimate.h"
#include "imaging/colour.h"
#include "imaging/exif_orientation.h"
#include "imaging/jpeg_coefficients.h"
#include "imaging/palette.h"

namespace pixelmote::imaging {
namespace {

// Why libjpeg stopped.
enum class Stop {
  None,
  TooLarge,      // declared size beyond the pixel limit
  Refused,       // the sink did not want the picture
  EndsEarly,     // the data ran out
  Corrupt,       // entropy-coded data or markers are damaged
  TooManyScans,  // more progressive scans than allowed
  OutOfMemory,   // the working memory cap, or the system, said no
  Unsupported,   // a colour format we cannot turn into RGB
  Other,         // any other libjpeg error; its text goes into the message
};

// State shared with libjpeg's callbacks through `client_data`. The callbacks
// leave through longjmp, so they only fill in plain fields here: nothing in
// them allocates or throws.
struct CallbackState {
  std::jmp_buf jump;
  Stop stop = Stop::None;
  char text[JMSG_LENGTH_MAX] = {};
  int maxScans = INT_MAX;
  bool inScans = false;    // the header has been read
  bool inRows = false;     // rows of a single-scan file are being decoded
  bool ranOut = false;     // the data ended while rows, or a progressive file's scans, were being decoded
  bool inTrailer = false;  // every row has been decoded
  bool progressive = false;  // Huffman-coded progressive: every scan is read before the first row
  MappedCoefficients* coefficients = nullptr;  // the decoder's, when it has them mapped
};

}  // namespace

MappedCoefficients& MappedCoefficients::owner(j_common_ptr info) {
  return *static_cast<CallbackState*>(info->client_data)->coefficients;
}

namespace {

// Stray bytes some encoders leave between the last scan and the end marker.
// More than this after entropy-coded data means the decoder lost its way.
constexpr int kTolerableStrayBytes = 8;

// From this quality on, chroma keeps full resolution (no subsampling).
constexpr int kFullChromaQuality = 90;

// The most profile bytes 255 APP2 segments can carry.
constexpr std::size_t kLargestIccProfile = std::size_t{255} * 65519;

// Display rows made at once when a picture is turned by a quarter.
constexpr int kTurnBand = 64;

[[noreturn]] void leave(j_common_ptr info, Stop stop) {
  auto* state = static_cast<CallbackState*>(info->client_data);
  state->stop = stop;
  (*info->err->format_message)(info, state->text);
  std::longjmp(state->jump, 1);
}

void onError(j_common_ptr info) {
  switch (info->err->msg_code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:  // a virtual array did not fit under max_memory_to_use
      leave(info, Stop::OutOfMemory);
    case JERR_INPUT_EMPTY:
    case JERR_INPUT_EOF:
      leave(info, Stop::EndsEarly);
    case JERR_CONVERSION_NOTIMPL:
    case JERR_BAD_J_COLORSPACE:
      leave(info, Stop::Unsupported);
    default:
      leave(info, Stop::Other);
  }
}

// libjpeg reports damage it can paper over as warnings and goes on with
// grey or repeated blocks. A damaged picture is a failure for us; warnings
// about things that leave the pixels intact (stray bytes between header
// markers, odd APPn contents) are counted and ignored.
void onMessage(j_common_ptr info, int level) {
  if (level >= 0) return;  // trace output
  auto* state = static_cast<CallbackState*>(info->client_data);
  switch (info->err->msg_code) {
    case JWRN_JPEG_EOF:
      if (state->inTrailer) break;  // only the end marker is missing: every row is there
      // The Huffman decoder reads ahead, so a single-scan file without its
      // end marker runs out while its last rows are decoded. Whether bits
      // were really missing shows as JWRN_HIT_MARKER, which then follows.
      if (state->inRows) {
        state->ranOut = true;
        break;
      }
      // The same for the last scan of a progressive file; data missing
      // shows as JWRN_HIT_MARKER there too, whole scans missing as
      // coefficients left unrefined (checked once the scans are read). A
      // second running out means the decoder went on reading past the end.
      if (state->progressive && !state->ranOut) {
        state->ranOut = true;
        break;
      }
      leave(info, Stop::EndsEarly);
    case JWRN_EXTRANEOUS_DATA:
      // The fast Huffman path of libjpeg-turbo decodes a bad code as zero
      // without a warning, so damaged entropy-coded data mostly shows as a
      // decoder that stops short of its data: many stray bytes after a scan.
      if (state->inScans && info->err->msg_parm.i[0] > kTolerableStrayBytes) leave(info, Stop::Corrupt);
      break;
    case JWRN_HIT_MARKER:
      leave(info, state->ranOut ? Stop::EndsEarly : Stop::Corrupt);
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_BOGUS_PROGRESSION:
      leave(info, Stop::Corrupt);
    default:
      break;
  }
  ++info->err->num_warnings;
}

// Called by the decompressor at least once per input pass over an iMCU row
// and at each new scan: the place to stop a file with endless scans before
// it costs a pass per scan.
void onProgress(j_common_ptr info) {
  auto* state = static_cast<CallbackState*>(info->client_data);
  const auto* decompressor = reinterpret_cast<j_decompress_ptr>(info);
  if (decompressor->input_scan_number > state->maxScans) {
    state->stop = Stop::TooManyScans;
    std::longjmp(state->jump, 1);
  }
}

// Adobe CMYK files store 255 - ink; others store the ink. Either way the
// light left over is (255 - ink C) × (255 - ink K) for red, and so on.
void cmykToRgb(const std::uint8_t* cmyk, std::uint8_t* rgb, int width, bool inverted) {
  const unsigned flip = inverted ? 0 : 255;
  for (int x = 0; x < width; ++x, cmyk += 4, rgb += 3) {
    const unsigned k = cmyk[3] ^ flip;
    rgb[0] = static_cast<std::uint8_t>(((cmyk[0] ^ flip) * k + 127) / 255);
    rgb[1] = static_cast<std::uint8_t>(((cmyk[1] ^ flip) * k + 127) / 255);
    rgb[2] = static_cast<std::uint8_t>(((cmyk[2] ^ flip) * k + 127) / 255);
  }
}

Size oriented(Size size, int orientation) {
  return orientationSwapsAxes(orientation) ? Size{size.height, size.width} : size;
}

int orientationFromMarkers(j_decompress_ptr info) {
  static constexpr std::uint8_t kExif[6] = {'E', 'x', 'i', 'f', 0, 0};
  for (jpeg_saved_marker_ptr m = info->marker_list; m != nullptr; m = m->next) {
    if (m->marker == JPEG_APP0 + 1 && m->data_length > sizeof kExif &&
        std::equal(kExif, kExif + sizeof kExif, m->data)) {
      return exifOrientation({m->data, m->data_length});
    }
  }
  return 1;
}

// What the header of a JPEG tells about the data that follows it.
struct JpegHeader {
  std::uint64_t headerBytes = 0;  // up to the end of the first scan's header
  std::uint64_t blocks = 0;       // coded 8 x 8 blocks of all components, edge blocks included
  bool progressive = false;
  bool arithmetic = false;
};

// Decodes one JPEG into a sink. libjpeg keeps pointers into this object, so
// it stays where it was made. Everything that owns memory lives here rather
// than in the functions that run under setjmp, so a longjmp out of libjpeg
// skips no destructor.
class JpegReader {
 public:
  JpegReader(Bytes data, const DecodeRequest& request, RowSink& sink)
      : m_data(data), m_request(request), m_sink(sink) {
    m_info.err = jpeg_std_error(&m_errors);
    m_errors.error_exit = onError;
    m_errors.emit_message = onMessage;
    m_info.client_data = &m_state;
    m_progress.progress_monitor = onProgress;
    m_state.maxScans = std::max(1, request.limits.maxProgressiveScans);
  }
  ~JpegReader() { jpeg_destroy_decompress(&m_info); }  // safe on a zeroed or half-made struct
  JpegReader(const JpegReader&) = delete;
  JpegReader& operator=(const JpegReader&) = delete;

  util::Status read() { return statusFor(run()); }

  // Reads only the header, up to the first scan, with the same checks as
  // read(); the data running out is Stop::EndsEarly.
  Stop readHeader(JpegHeader& header) {
    m_headerOnly = true;
    const Stop stop = run();
    header = m_header;
    return stop;
  }
  util::Status status(Stop stop) const { return statusFor(stop); }

 private:
  // The only frame that holds the jump target; kept free of anything with a
  // destructor so a longjmp back into it skips none.
  Stop run() {
    if (setjmp(m_state.jump) != 0) return m_state.stop;
    return decode();
  }

  // Runs under setjmp: only trivially destructible locals.
  Stop decode() {
    jpeg_create_decompress(&m_info);
    m_state.coefficients = &m_coefficients;
    m_coefficients.install(reinterpret_cast<j_common_ptr>(&m_info));
    m_info.progress = &m_progress;
    m_info.mem->max_memory_to_use =
        static_cast<long>(std::clamp<std::int64_t>(m_request.limits.maxDecoderMemory, 1, LONG_MAX));
    jpeg_mem_src(&m_info, m_data.data(), static_cast<unsigned long>(m_data.size()));
    jpeg_save_markers(&m_info, JPEG_APP0 + 1, 0xFFFF);
    if (!m_headerOnly) jpeg_save_markers(&m_info, JPEG_APP0 + 2, 0xFFFF);  // ICC profile segments
    jpeg_read_header(&m_info, TRUE);
    m_state.inScans = true;
    m_state.progressive = m_info.progressive_mode && !m_info.arith_code;

    m_declared = Size{static_cast<int>(m_info.image_width), static_cast<int>(m_info.image_height)};
    if (m_declared.pixels() > m_request.limits.maxPixels) return Stop::TooLarge;
    if (m_headerOnly) {
      noteHeader();
      return Stop::None;
    }

    const int orientation = orientationFromMarkers(&m_info);
    m_cmyk = m_info.jpeg_color_space == JCS_CMYK || m_info.jpeg_color_space == JCS_YCCK;
    m_invertedCmyk = m_cmyk && m_info.saw_Adobe_marker;
    m_info.out_color_space = m_cmyk ? JCS_CMYK : JCS_RGB;
    m_convert = m_cmyk;
    takeProfile();
    // The accurate integer IDCT: with SIMD it costs little over the fast one
    // and keeps gradients free of banding; reduced sizes use the scaled IDCTs.
    m_info.dct_method = JDCT_ISLOW;
    chooseScale(orientation);

    jpeg_start_decompress(&m_info);  // progressive files are read in full here
    if (m_state.ranOut && !everyCoefficientRefined()) return Stop::EndsEarly;
    m_state.inRows = !jpeg_has_multiple_scans(&m_info);

    const Size stored{static_cast<int>(m_info.output_width), static_cast<int>(m_info.output_height)};
    if (!m_sink.begin(oriented(stored, orientation), oriented(m_declared, orientation), coverage(orientation))) {
      return Stop::Refused;
    }
    const std::size_t rgbStride = static_cast<std::size_t>(stored.width) * 3;
    const std::size_t scanStride = static_cast<std::size_t>(stored.width) * m_info.output_components;
    const int batch = std::clamp(m_info.rec_outbuf_height, 1, 4);
    if (orientation == 1 || m_convert) m_scanlines.resize(scanStride * batch);
    if (orientation == 1 && m_convert) m_rgbRow.resize(rgbStride);
    // Left uninitialised: libjpeg writes every byte.
    if (orientation != 1) m_stored.reset(new std::uint8_t[rgbStride * stored.height]);

    std::array<JSAMPROW, 4> rows{};
    while (m_info.output_scanline < m_info.output_height) {
      const int first = static_cast<int>(m_info.output_scanline);
      // RGB rows of a picture that gets turned go straight into place.
      const bool direct = orientation != 1 && !m_convert;
      for (int i = 0; i < batch; ++i) {
        rows[i] = direct ? m_stored.get() + rgbStride * std::min(first + i, stored.height - 1)
                         : m_scanlines.data() + scanStride * i;
      }
      const int got = static_cast<int>(jpeg_read_scanlines(&m_info, rows.data(), batch));
      if (got <= 0) return Stop::Corrupt;  // cannot happen with a memory source; never spin
      for (int i = 0; i < got && !direct; ++i) {
        const int y = first + i;
        if (orientation == 1) {
          if (m_convert) {
            convertRow(rows[i], m_rgbRow.data(), stored.width);
            m_sink.row(y, m_rgbRow.data());
          } else {
            m_sink.row(y, rows[i]);
          }
        } else {
          convertRow(rows[i], m_stored.get() + rgbStride * y, stored.width);
        }
      }
    }
    // Reading on to the end marker tells whether the scan ended where its
    // data did (see onMessage).
    m_state.inTrailer = true;
    jpeg_finish_decompress(&m_info);
    if (orientation != 1) deliverTurned(stored, orientation);
    return Stop::None;
  }

  // Reads the embedded ICC profile, if any, and decides what becomes of it.
  // RGB pictures keep their pixels and hand the profile on; CMYK and gray
  // pictures are converted through it into sRGB (the rows we deliver are
  // RGB, and a gray profile does not describe RGB rows). A malformed or
  // incomplete set of segments, a profile LittleCMS cannot read, or one of
  // another colour space than the picture's is ignored. Runs under setjmp:
  // no libjpeg call after the first, so its locals are never skipped.
  void takeProfile() {
    if (m_request.profile != nullptr) m_request.profile->clear();
    JOCTET* icc = nullptr;
    unsigned int length = 0;
    if (!jpeg_read_icc_profile(&m_info, &icc, &length)) return;
    m_icc.reset(icc);
    const ColourProfile profile = ColourProfile::fromIcc({icc, length});
    if (!profile) return;
    if (m_cmyk) {
      m_toSrgb = SrgbTransform(profile, m_invertedCmyk ? SampleLayout::InvertedCmyk : SampleLayout::Cmyk);
    } else if (m_info.jpeg_color_space == JCS_GRAYSCALE) {
      m_toSrgb = SrgbTransform(profile, SampleLayout::Gray);
      if (m_toSrgb) {
        m_info.out_color_space = JCS_GRAYSCALE;
        m_convert = true;
      }
    } else if (profile.space() == ProfileSpace::Rgb && m_request.profile != nullptr) {
      m_request.profile->assign(icc, icc + length);
    }
  }

  // Rows that libjpeg gives in another form than RGB, into RGB.
  void convertRow(const std::uint8_t* in, std::uint8_t* rgb, int width) const {
    if (m_toSrgb) {
      m_toSrgb.apply(in, rgb, width);
    } else {
      cmykToRgb(in, rgb, width, m_invertedCmyk);
    }
  }

  // Whether the scans read so far brought every coefficient of every
  // component to full precision. A progressive file that ran out between
  // scans lacks some; one that lacks only its end marker does not.
  bool everyCoefficientRefined() const {
    if (!m_state.progressive || m_info.coef_bits == nullptr) return false;
    for (int c = 0; c < m_info.num_components; ++c) {
      for (int k = 0; k < DCTSIZE2; ++k) {
        if (m_info.coef_bits[c][k] != 0) return false;
      }
    }
    return true;
  }

  void noteHeader() {
    m_header.headerBytes = m_data.size() - m_info.src->bytes_in_buffer;
    m_header.progressive = m_info.progressive_mode != 0;
    m_header.arithmetic = m_info.arith_code != 0;
    m_header.blocks = 0;
    for (int c = 0; c < m_info.num_components; ++c) {
      const jpeg_component_info& component = m_info.comp_info[c];
      // Interleaved scans code whole MCUs: up to a sampling factor more
      // blocks across and down than the picture covers.
      m_header.blocks += (std::uint64_t{component.width_in_blocks} + static_cast<unsigned>(m_info.max_h_samp_factor)) *
                         (std::uint64_t{component.height_in_blocks} + static_cast<unsigned>(m_info.max_v_samp_factor));
    }
  }

  // The smallest N/8 at which the picture itself, not counting the
  // rounded-up part of its edge blocks, spans at least what the caller
  // needs: a reduction after it then only ever shrinks.
  void chooseScale(int orientation) {
    if (!m_request.minimumSize) return;
    Size need = m_request.minimumSize(oriented(m_declared, orientation));
    need = oriented(need, orientation);  // back into the stored frame
    for (int n = 1; n <= 8; ++n) {
      m_info.scale_num = static_cast<unsigned>(n);
      m_info.scale_denom = 8;
      if (std::int64_t{m_info.image_width} * n >= std::int64_t{need.width} * 8 &&
          std::int64_t{m_info.image_height} * n >= std::int64_t{need.height} * 8) {
        break;
      }
    }
    jpeg_calc_output_dimensions(&m_info);
  }

  // Where the delivered pixels lie on the displayed picture. libjpeg turns
  // each 8 x 8 block into N x N pixels at scale N/8, rounding the output up,
  // so its last column and row may stand partly for padding; turning the
  // picture moves them to whichever side the turn takes them.
  Coverage coverage(int orientation) const {
    Coverage c;
    c.source = static_cast<int>(m_info.scale_denom);
    c.delivered = static_cast<int>(m_info.scale_num);
    // The partial blocks lie at the stored picture's right and bottom
    // edges; a displayed axis that starts there has them first.
    switch (orientation) {
      case 2: c.endAlignedAcross = true; break;                           // mirrored
      case 3: c.endAlignedAcross = c.endAlignedDown = true; break;        // half turn
      case 4: c.endAlignedDown = true; break;                             // upside down
      case 6: c.endAlignedAcross = true; break;                           // across runs up the stored rows
      case 7: c.endAlignedAcross = c.endAlignedDown = true; break;        // transversed
      case 8: c.endAlignedDown = true; break;                             // down runs leftwards along stored columns
      default: break;                                                     // upright, transposed
    }
    return c;
  }

  // Sends the buffered picture turned upright. Displayed pixel (x, y) is
  // stored at byte origin + x × stepX + y × stepY.
  void deliverTurned(Size stored, int orientation) {
    const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(stored.width) * 3;
    const std::ptrdiff_t lastRow = (stored.height - 1) * row;
    const std::ptrdiff_t lastColumn = (stored.width - 1) * 3;
    std::ptrdiff_t origin = 0;
    std::ptrdiff_t stepX = 3;
    std::ptrdiff_t stepY = row;
    switch (orientation) {
      case 2: origin = lastColumn; stepX = -3; stepY = row; break;             // mirrored
      case 3: origin = lastRow + lastColumn; stepX = -3; stepY = -row; break;  // half turn
      case 4: origin = lastRow; stepX = 3; stepY = -row; break;                // upside down
      case 5: origin = 0; stepX = row; stepY = 3; break;                       // transposed
      case 6: origin = lastRow; stepX = -row; stepY = 3; break;                // turned right
      case 7: origin = lastRow + lastColumn; stepX = -row; stepY = -3; break;  // transversed
      case 8: origin = lastColumn; stepX = row; stepY = -3; break;             // turned left
      default: break;
    }
    const Size shown = oriented(stored, orientation);
    const std::uint8_t* pixels = m_stored.get();
    const std::size_t shownStride = static_cast<std::size_t>(shown.width) * 3;
    // Quarter turns read stored columns; a band of display rows at a time
    // uses each fetched cache line of a stored row for the whole band.
    const int band = orientationSwapsAxes(orientation) ? std::min(kTurnBand, shown.height) : 1;
    m_rgbRow.resize(shownStride * band);
    for (int y0 = 0; y0 < shown.height; y0 += band) {
      if (stepX == 3) {  // a stored row as it is
        m_sink.row(y0, pixels + origin + y0 * stepY);
        continue;
      }
      const int rows = std::min(band, shown.height - y0);
      for (int x = 0; x < shown.width; ++x) {
        std::ptrdiff_t at = origin + x * stepX + y0 * stepY;
        std::uint8_t* out = m_rgbRow.data() + static_cast<std::size_t>(x) * 3;
        for (int j = 0; j < rows; ++j, at += stepY, out += shownStride) {
          out[0] = pixels[at];
          out[1] = pixels[at + 1];
          out[2] = pixels[at + 2];
        }
      }
      for (int j = 0; j < rows; ++j) m_sink.row(y0 + j, m_rgbRow.data() + shownStride * j);
    }
  }

  util::Status statusFor(Stop stop) const {
    switch (stop) {
      case Stop::None:
        return util::Status::success();
      case Stop::TooLarge:
        return util::Status::failure("picture of " + std::to_string(m_declared.width) + " x " +
                                     std::to_string(m_declared.height) + " pixels is too large");
      case Stop::Refused:
        return util::Status::failure("picture refused by its receiver");
      case Stop::EndsEarly:
        return util::Status::failure("data ends early");
      case Stop::Corrupt:
        return util::Status::failure("corrupt data");
      case Stop::TooManyScans:
        return util::Status::failure("more than " + std::to_string(m_state.maxScans) + " progressive scans");
      case Stop::OutOfMemory:
        return util::Status::failure("decoding needs more memory than allowed");
      case Stop::Unsupported:
        return util::Status::failure(std::string("unsupported JPEG colour format: ") + m_state.text);
      case Stop::Other:
        return util::Status::failure(std::string("corrupt data: ") + m_state.text);
    }
    return util::Status::failure("corrupt data");
  }

  Bytes m_data;
  const DecodeRequest& m_request;
  RowSink& m_sink;
  jpeg_decompress_struct m_info{};
  jpeg_error_mgr m_errors{};
  jpeg_progress_mgr m_progress{};
  MappedCoefficients m_coefficients;
  CallbackState m_state;
  Size m_declared;
  bool m_headerOnly = false;
  JpegHeader m_header;
  bool m_cmyk = false;
  bool m_invertedCmyk = false;
  bool m_convert = false;  // rows come as CMYK or gray and are converted to RGB
  struct FreeBytes {
    void operator()(JOCTET* p) const noexcept { std::free(p); }
  };
  std::unique_ptr<JOCTET, FreeBytes> m_icc;  // the embedded profile, as libjpeg assembled it
  SrgbTransform m_toSrgb;  // CMYK or gray rows through their profile; empty: none
  std::vector<std::uint8_t> m_scanlines;  // rows as libjpeg gives them
  std::vector<std::uint8_t> m_rgbRow;     // converted or turned rows
  std::unique_ptr<std::uint8_t[]> m_stored;  // the whole (reduced) picture, only when it must be turned
};

// A libjpeg destination that writes into a string, growing it as needed.
struct StringDestination {
  jpeg_destination_mgr mgr;
  std::string* out;
};

constexpr std::size_t kFirstOutputSize = 64 * 1024;

void startOutput(j_compress_ptr info) {
  auto* dest = reinterpret_cast<StringDestination*>(info->dest);
  bool failed = false;
  try {
    dest->out->resize(kFirstOutputSize);
  } catch (...) {
    failed = true;  // leave the handler before longjmp-ing out
  }
  if (failed) ERREXIT1(info, JERR_OUT_OF_MEMORY, 0);
  dest->mgr.next_output_byte = reinterpret_cast<JOCTET*>(dest->out->data());
  dest->mgr.free_in_buffer = dest->out->size();
}

// Called with the buffer full: double it.
boolean growOutput(j_compress_ptr info) {
  auto* dest = reinterpret_cast<StringDestination*>(info->dest);
  const std::size_t used = dest->out->size();
  bool failed = false;
  try {
    dest->out->resize(used * 2);
  } catch (...) {
    failed = true;
  }
  if (failed) ERREXIT1(info, JERR_OUT_OF_MEMORY, 1);
  dest->mgr.next_output_byte = reinterpret_cast<JOCTET*>(dest->out->data()) + used;
  dest->mgr.free_in_buffer = dest->out->size() - used;
  return TRUE;
}

void finishOutput(j_compress_ptr info) {
  auto* dest = reinterpret_cast<StringDestination*>(info->dest);
  dest->out->resize(dest->out->size() - dest->mgr.free_in_buffer);  // shrinking never throws
}

// Encodes one raster. Like JpegReader it owns everything the setjmp-guarded
// code touches, and stays where it was made.
class JpegWriter {
 public:
  JpegWriter(const Raster& raster, int quality, int smoothing, std::string_view comment,
             std::span<const std::uint8_t> iccProfile)
      : m_raster(raster),
        m_quality(std::clamp(quality, 0, 100)),
        m_smoothing(std::clamp(smoothing, 0, 100)),
        m_comment(comment),
        m_iccProfile(iccProfile) {
    m_info.err = jpeg_std_error(&m_errors);
    m_errors.error_exit = onError;
    m_errors.emit_message = [](j_common_ptr, int) {};  // the encoder's warnings do not concern us
    m_info.client_data = &m_state;
    m_destination.mgr.init_destination = startOutput;
    m_destination.mgr.empty_output_buffer = growOutput;
    m_destination.mgr.term_destination = finishOutput;
    m_destination.out = &m_output;
  }
  ~JpegWriter() { jpeg_destroy_compress(&m_info); }
  JpegWriter(const JpegWriter&) = delete;
  JpegWriter& operator=(const JpegWriter&) = delete;

  util::Result<std::string> write() {
    const Stop stop = run();
    if (stop == Stop::None) return std::move(m_output);
    if (stop == Stop::OutOfMemory) return util::Result<std::string>::failure("not enough memory to encode");
    return util::Result<std::string>::failure(std::string("cannot encode JPEG: ") + m_state.text);
  }

 private:
  // The frame that holds the jump target (see JpegReader::run).
  Stop run() {
    if (setjmp(m_state.jump) != 0) return m_state.stop;
    encode();
    return Stop::None;
  }

  // Runs under setjmp: only trivially destructible locals.
  void encode() {
    jpeg_create_compress(&m_info);
    m_info.dest = &m_destination.mgr;
    m_info.image_width = static_cast<JDIMENSION>(m_raster.size.width);
    m_info.image_height = static_cast<JDIMENSION>(m_raster.size.height);
    m_info.input_components = 3;
    m_info.in_color_space = JCS_RGB;
    jpeg_set_defaults(&m_info);
    jpeg_set_quality(&m_info, m_quality, TRUE);
    if (m_quality >= kFullChromaQuality) {
      for (int c = 0; c < m_info.num_components; ++c) {
        m_info.comp_info[c].h_samp_factor = 1;
        m_info.comp_info[c].v_samp_factor = 1;
      }
    }
    m_info.smoothing_factor = m_smoothing;
    m_info.optimize_coding = TRUE;
    jpeg_start_compress(&m_info, TRUE);
    if (!m_comment.empty()) {
      const auto length = static_cast<unsigned>(std::min<std::size_t>(m_comment.size(), 65533));
      jpeg_write_marker(&m_info, JPEG_COM, reinterpret_cast<const JOCTET*>(m_comment.data()), length);
    }
    // After the comment, which readers of the stamp look for near the start.
    if (!m_iccProfile.empty()) {
      jpeg_write_icc_profile(&m_info, m_iccProfile.data(), static_cast<unsigned>(m_iccProfile.size()));
    }
    const std::size_t stride = m_raster.stride();
    while (m_info.next_scanline < m_info.image_height) {
      // libjpeg takes rows as non-const but only reads them.
      JSAMPROW row = const_cast<JSAMPROW>(m_raster.rgb.data() + stride * m_info.next_scanline);
      jpeg_write_scanlines(&m_info, &row, 1);
    }
    jpeg_finish_compress(&m_info);
  }

  const Raster& m_raster;
  int m_quality;
  int m_smoothing;
  std::string_view m_comment;
  std::span<const std::uint8_t> m_iccProfile;
  jpeg_compress_struct m_info{};
  jpeg_error_mgr m_errors{};
  StringDestination m_destination{};
  CallbackState m_state;
  std::string m_output;
};

}  // namespace

util::Status decodeJpeg(Bytes data, const DecodeRequest& request, RowSink& sink) {
  if (data.size() < 2 || data[0] != 0xFF || data[1] != 0xD8) {
    return util::Status::failure("not a JPEG file");
  }
  try {
    JpegReader reader(data, request, sink);
    return reader.read();
  } catch (const std::bad_alloc&) {
    return util::Status::failure("not enough memory to decode");
  }
}

util::Result<HeadCheck> checkJpegHead(Bytes head, std::uint64_t fileSize, const DecodeLimits& limits) {
  using R = util::Result<HeadCheck>;
  if (head.size() < 2 || head[0] != 0xFF || head[1] != 0xD8) return R::failure("not a JPEG file");
  struct NoRows : RowSink {
    bool begin(Size, Size, const Coverage&) override { return false; }
    void row(int, const std::uint8_t*) override {}
  } noRows;
  DecodeRequest request;
  request.limits = limits;
  JpegHeader header;
  Stop stop = Stop::None;
  try {
    JpegReader reader(head, request, noRows);
    stop = reader.readHeader(header);
    if (stop != Stop::None && stop != Stop::EndsEarly) return R::failure(reader.status(stop).message());
  } catch (const std::bad_alloc&) {
    return R::failure("not enough memory to decode");
  }
  HeadCheck check;
  if (stop == Stop::EndsEarly) {
    // More header than head; a file that ends within its header is the
    // decoder's to report.
    if (head.size() < fileSize) check.needBytes = std::max<std::uint64_t>(head.size() * 2, 4096);
    check.readBound = kWholeFile;
    return check;
  }
  if (header.arithmetic) {
    // Arithmetic coding has no useful bound on the bytes a block may take.
    check.readBound = kWholeFile;
    return check;
  }
  // Worst cases per 8 x 8 block, before byte stuffing (which at most doubles
  // the coded bytes). Sequential: each of 64 coefficients at most a 16-bit
  // code and 11 bits of value; 4 bytes each. Progressive: over all its scans
  // a coefficient takes either its first code and value (27 bits) or, zero
  // at first, a code and a sign when it becomes non-zero (17 bits), plus a
  // correction bit for each of at most 13 refinements: 40 bits, 6 bytes
  // generously; and each scan may end a block with a band-end code
  // (4 bytes). Restart markers with their padding add up to 3 bytes per
  // block and scan.
  const std::uint64_t scans = header.progressive ? static_cast<std::uint64_t>(std::max(1, limits.maxProgressiveScans)) : 1;
  const std::uint64_t perCoefficient = header.progressive ? 6 : 4;
  const std::uint64_t perBlock = 2 * (64 * perCoefficient + 4 * scans) + 3 * scans;
  check.readBound = header.headerBytes + kMetadataRoom + header.blocks * perBlock;
  return check;
}

util::Result<std::string> encodeJpeg(const Raster& raster, int quality, int smoothing, std::string_view comment,
                                     std::span<const std::uint8_t> iccProfile) {
  if (util::Status s = checkWritable(raster); !s) return util::Result<std::string>::failure(s.message());
  if (iccProfile.size() > kLargestIccProfile) return util::Result<std::string>::failure("colour profile too large");
  try {
    JpegWriter writer(raster, quality, smoothing, comment, iccProfile);
    return writer.write();
  } catch (const std::bad_alloc&) {
    return util::Result<std::string>::failure("not enough memory to encode");
  }
}


namespace {

std::uint32_t be16(const std::uint8_t* p) { return (std::uint32_t{p[0]} << 8) | p[1]; }

// The frame header gives the size, the components' sampling and whether the
// file is progressive (whose coefficients are all kept while decoding).
LoadEstimate estimateJpegLoad(Bytes d, double sizePercent) {
  if (d.size() < 4 || d[0] != 0xFF || d[1] != 0xD8) return {kSmallLoad, 0};
  std::size_t at = 2;
  while (at + 4 <= d.size()) {
    if (d[at] != 0xFF) return {kSmallLoad, 0};
    const std::uint8_t marker = d[at + 1];
    if (marker == 0xFF) {
      ++at;
      continue;
    }
    const std::size_t length = be16(d.data() + at + 2);
    const bool frame = marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
    if (frame) {
      if (at + 4 + length - 2 > d.size() || length < 8) return {kSmallLoad, 0};
      const std::uint8_t* f = d.data() + at + 4;
      const std::uint64_t height = be16(f + 1);
      const std::uint64_t width = be16(f + 3);
      const int components = f[5];
      const bool progressive = marker == 0xC2 || marker == 0xC6 || marker == 0xCA || marker == 0xCE;
      std::uint64_t working = kSmallLoad + width * 3 * 16;  // a few rows
      if (progressive && components > 0 && 8u + 3u * components <= length) {
        int hMax = 1, vMax = 1;
        for (int c = 0; c < components; ++c) {
          hMax = std::max(hMax, f[7 + 3 * c] >> 4);
          vMax = std::max(vMax, f[7 + 3 * c] & 0x0F);
        }
        for (int c = 0; c < components; ++c) {
          const int h = std::max(1, f[7 + 3 * c] >> 4);
          const int v = std::max(1, f[7 + 3 * c] & 0x0F);
          const std::uint64_t blocksAcross = (width * h + 8u * hMax - 1) / (8u * hMax);
          const std::uint64_t blocksDown = (height * v + 8u * vMax - 1) / (8u * vMax);
          working += blocksAcross * blocksDown * 128;  // 64 coefficients of 2 bytes
        }
      }
      return {working, boxBytes(width, height, sizePercent)};
    }
    if (marker == 0xDA || marker == 0xD9 || length < 2) return {kSmallLoad, 0};
    at += 2 + length;
  }
  return {kSmallLoad, 0};
}

util::Result<std::string> encodeJpegWith(const Raster& raster, const EncodeSettings& settings) {
  return encodeJpeg(raster, settings.quality, settings.smoothing, settings.comment, settings.iccProfile);
}

constexpr std::string_view kJpegSuffixes[] = {"jpg", "jpeg"};

}  // namespace

const Codec kJpegCodec{"JPEG", kJpegSuffixes, 0, true, checkJpegHead, estimateJpegLoad, decodeJpeg, encodeJpegWith};

}  // namespace pixelmote::imaging
