#include "imaging/imglib.h"

#include <map>
#include <mutex>

#include "imaging/codec.h"
#include "imaging/colour.h"
#include "util/file_bytes.h"
#include "util/file_io.h"
#include "util/path.h"

namespace pixelmote::imaging {

// The scope in force on this thread and the library's way into it.
struct ThreadImagingAccess {
  static thread_local ThreadImaging* current;
  static void stage(ThreadImaging& scope, util::StagedFile file) { scope.m_staged = std::move(file); }
  static void message(ThreadImaging& scope, std::string text) { scope.m_messages.push_back(std::move(text)); }
};

thread_local ThreadImaging* ThreadImagingAccess::current = nullptr;

namespace {

struct Library {
  std::mutex mutex;
  std::map<int, std::shared_ptr<const Raster>> pictures;
  int nextHandle = 1;
  std::function<void(const std::string&)> onMessage;
};

Library& library() {
  static Library lib;
  return lib;
}

thread_local std::string t_lastError;

void setError(std::string message) { t_lastError = std::move(message); }

using Decoder = util::Status (*)(Bytes, const DecodeRequest&, RowSink&);

// A read: the file's bytes decoded whole into a new picture handle. The
// requested depth is recorded by the caller's rule only; pictures are always
// kept at full colour, so no read ever loses colours.
int readWith(Decoder decode, const std::string& file, int& bitmap, std::int32_t& aux) {
  auto bytes = util::readFileBytes(file);
  if (!bytes) {
    setError(bytes.message());
    return kReadCannotOpen;
  }
  RasterSink sink;
  const util::Status status = decode(Bytes(bytes.value()), DecodeRequest{}, sink);
  if (!status) {
    setError(file + ": " + status.message());
    return kReadNotPicture;
  }
  bitmap = adoptPicture(std::move(sink.raster));
  aux = 0;
  return kReadOk;
}

int writeWith(const util::Result<std::string>& encoded, const std::string& file) {
  if (!encoded) {
    setError("cannot write " + file + ": " + encoded.message());
    return kWriteFailed;
  }
  util::IoResult written;
  if (ThreadImaging* scope = ThreadImagingAccess::current) {
    util::StagedFile staged;
    written = util::stageFile(file, encoded.value(), staged);
    ThreadImagingAccess::stage(*scope, std::move(staged));
  } else {
    written = util::writeFileAtomically(file, encoded.value());
  }
  if (!written) {
    setError(written.message);
    return kWriteFailed;
  }
  return kWriteOk;
}

// The picture to write, or null with the error set.
std::shared_ptr<const Raster> pictureToWrite(int bitmap, const std::string& file) {
  auto picture = pictureOf(bitmap);
  if (!picture) setError("cannot write " + file + ": no picture");
  return picture;
}

// The extension of a file name: the text after the last "." of its last
// component, when that "." is not the component's last character. (The
// last point, so that a thumbnail prefix holding a point cannot make a GIF
// thumbnail be written as JPEG.)
bool usableExtension(const std::string& file, std::string& ext) {
  const auto slash = file.rfind('/');
  const std::string name = slash == std::string::npos ? file : file.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot == std::string::npos || dot + 1 == name.size()) return false;
  ext = name.substr(dot + 1);
  return true;
}

}  // namespace

ThreadImaging::ThreadImaging(const ImagingVariables& start)
    : m_variables(start), m_previous(ThreadImagingAccess::current) {
  // The pictures the start variables name belong to the thread they came from.
  m_variables.ImgBitmap = 0;
  m_variables.ImgAux = 0;
  ThreadImagingAccess::current = this;
}

ThreadImaging::~ThreadImaging() {
  ThreadImagingAccess::current = m_previous;
  DeleteObject(m_variables.ImgBitmap);
  DeleteObject(m_variables.ImgAux);
}

ImagingVariables& imagingVariables() {
  if (ThreadImagingAccess::current != nullptr) return ThreadImagingAccess::current->variables();
  static ImagingVariables vars;
  return vars;
}

void startImaging() {
  ImagingVariables& v = imagingVariables();
  v.ImgLibText = kImagingLibraryText;
  v.ImgReadBits = 8;
  v.ImgWriteBits = 8;
  v.ImgReadMode = 1;
  v.ImgTifOption1 = 1;
  v.ImgTifOption2 = 5;
  v.ImgOption = 0;
  InitDll(v.ImgBitmap, v.ImgLibText);
}

int InitDll(int, const std::string&) { return 1; }

std::shared_ptr<const Raster> pictureOf(int handle) {
  std::lock_guard lock(library().mutex);
  const auto it = library().pictures.find(handle);
  return it == library().pictures.end() ? nullptr : it->second;
}

int adoptPicture(Raster raster) {
  Library& lib = library();
  std::lock_guard lock(lib.mutex);
  // Handles are positive 16-bit numbers; skip any still in use.
  do {
    lib.nextHandle = lib.nextHandle >= 32767 ? 1 : lib.nextHandle + 1;
  } while (lib.pictures.count(lib.nextHandle) != 0);
  lib.pictures.emplace(lib.nextHandle, std::make_shared<const Raster>(std::move(raster)));
  return lib.nextHandle;
}

void DeleteObject(std::int32_t handle) {
  if (handle == 0) return;
  std::lock_guard lock(library().mutex);
  library().pictures.erase(handle);
}

int livePictureCount() {
  std::lock_guard lock(library().mutex);
  return static_cast<int>(library().pictures.size());
}

std::string lastImagingError() { return t_lastError; }

void setImagingMessageHandler(std::function<void(const std::string&)> handler) {
  library().onMessage = std::move(handler);
}

void raiseImagingMessage(const std::string& text) {
  if (library().onMessage) library().onMessage(text);
}

// ----- reads ------------------------------------------------------------------

int readjpgfile(const std::string& file, int, int, int, int& bitmap, std::int32_t& aux, int, int) {
  return readWith(decodeJpeg, file, bitmap, aux);
}
int readgiffile(const std::string& file, int, int, int& bitmap, std::int32_t& aux, int, int, const std::string&) {
  return readWith(decodeGif, file, bitmap, aux);
}
int readtiffile(const std::string& file, int, int, int& bitmap, std::int32_t& aux, int, int, const std::string&) {
  return readWith(decodeTiff, file, bitmap, aux);
}
int readpcxfile(const std::string& file, int, int, int& bitmap, std::int32_t& aux, int, int) {
  return readWith(decodePcx, file, bitmap, aux);
}
int readbmpfile(const std::string& file, int, int, int& bitmap, std::int32_t& aux, int, int) {
  return readWith(decodeBmp, file, bitmap, aux);
}
int readpngfile(const std::string& file, int, int, int& bitmap, std::int32_t& aux, int, int) {
  return readWith(decodePng, file, bitmap, aux);
}

// ----- writes -----------------------------------------------------------------

int writejpgfile(const std::string& file, int quality, int smooth, int, int bitmap, std::int32_t, int, int) {
  const auto picture = pictureToWrite(bitmap, file);
  const ImagingVariables& v = imagingVariables();
  return picture ? writeWith(encodeJpeg(*picture, quality, smooth, v.ImgComment, v.ImgIccProfile), file) : kWriteFailed;
}
int writegiffile(const std::string& file, int bits, int bitmap, std::int32_t, int, int, const std::string&) {
  const auto picture = pictureToWrite(bitmap, file);
  if (!picture) return kWriteFailed;
  const ImagingVariables& v = imagingVariables();
  if (!v.ImgIccProfile.empty()) {
    // The palette is chosen from the colours as they are to be seen. A
    // profile that cannot be used leaves the pixels as they are.
    Raster srgb = *picture;
    if (convertToSrgb(srgb, v.ImgIccProfile)) return writeWith(encodeGif(srgb, bits, v.ImgComment), file);
  }
  return writeWith(encodeGif(*picture, bits, v.ImgComment), file);
}
int writepcxfile(const std::string& file, int bits, int bitmap, std::int32_t, int, int) {
  const auto picture = pictureToWrite(bitmap, file);
  return picture ? writeWith(encodePcx(*picture, bits), file) : kWriteFailed;
}
int writebmpfile(const std::string& file, int, int bitmap, std::int32_t, int, int) {
  const auto picture = pictureToWrite(bitmap, file);
  return picture ? writeWith(encodeBmp(*picture), file) : kWriteFailed;
}
int writepngfile(const std::string& file, int bits, int, int bitmap, std::int32_t, int, int) {
  const auto picture = pictureToWrite(bitmap, file);
  return picture ? writeWith(encodePng(*picture, bits), file) : kWriteFailed;
}
int writetiffile(const std::string& file, std::int32_t, int, int bits, int bitmap, std::int32_t, int, int,
                 const std::string&) {
  const auto picture = pictureToWrite(bitmap, file);
  return picture ? writeWith(encodeTiff(*picture, bits), file) : kWriteFailed;
}

// ----- through the variables -------------------------------------------------

void ImageTypeOf(std::string& sExt, int& iType) {
  sExt = util::asciiLower(sExt);
  if (sExt == "0") {
    iType = -1;  // "no type": reads and writes nothing
    return;
  }
  const Codec* codec = codecForSuffix(sExt);
  if (codec == nullptr) return;
  if (codec->libraryFirstSuffixOnly && sExt != codec->suffixes.front()) return;
  iType = codec->libraryType;
}

bool ReadImage(std::string& sType) {
  ImagingVariables& v = imagingVariables();
  int code = 0;
  ImageTypeOf(sType, code);
  if (v.ImgFile.empty()) return false;
  std::string ext;
  if (!usableExtension(v.ImgFile, ext)) return false;
  ImageTypeOf(ext, code);
  if (code == -1) return false;

  const int oldBitmap = v.ImgBitmap;
  const std::int32_t oldAux = v.ImgAux;
  v.ImgBitmap = 0;
  v.ImgAux = 0;

  // The depth a read is asked for: one step below ImgReadBits when that is
  // above the limit. Our reads keep full colour whatever the depth, so the
  // rule costs no colours.
  static const int kDepths[] = {1, 4, 8, 24};
  const int compared = v.ImgReadBits == 0 ? 4 : v.ImgReadBits;
  int depth = v.ImgReadBits;
  if (compared > v.ImgBitsLimit && v.ImgBitsLimit < 16) {
    for (int i = 1; i < 4; ++i) {
      if (kDepths[i] == compared) depth = kDepths[i - 1];
    }
  }

  switch (code) {
    case 0: v.ImgResult = readjpgfile(v.ImgFile, depth, 0, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 1: v.ImgResult = readgiffile(v.ImgFile, depth, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption, v.ImgLibText); break;
    case 2: v.ImgResult = readpcxfile(v.ImgFile, depth, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 3: v.ImgResult = readbmpfile(v.ImgFile, depth, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 4: v.ImgResult = readpngfile(v.ImgFile, depth, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 5: v.ImgResult = readtiffile(v.ImgFile, depth, v.ImgReadMode, v.ImgBitmap, v.ImgAux, 0, v.ImgOption, v.ImgLibText); break;
    default: v.ImgResult = kReadNotPicture; break;
  }
  if (v.ImgResult <= 0) {
    v.ImgBitmap = oldBitmap;
    v.ImgAux = oldAux;
    return false;
  }
  if (oldBitmap != 0 && oldBitmap != v.ImgBitmap) DeleteObject(oldBitmap);
  if (oldAux != 0 && oldAux != v.ImgAux) DeleteObject(oldAux);
  return true;
}

bool WriteImage(std::string& sType) {
  ImagingVariables& v = imagingVariables();
  int code = 0;
  ImageTypeOf(sType, code);
  const auto message = [] {
    if (ThreadImaging* scope = ThreadImagingAccess::current) {
      ThreadImagingAccess::message(*scope, kMsgNotSaved);
    } else if (library().onMessage) {
      library().onMessage(kMsgNotSaved);
    }
  };
  std::string ext;
  if (usableExtension(v.ImgFile, ext)) {
    ImageTypeOf(ext, code);
    if (code == -1) {
      message();
      return false;
    }
  } else {
    if (sType.empty()) {
      message();
      return false;
    }
    v.ImgFile += "." + util::asciiLower(sType);
  }
  switch (code) {
    case 0: v.ImgResult = writejpgfile(v.ImgFile, v.ImgQuality, v.ImgSmooth, 24, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 1: v.ImgResult = writegiffile(v.ImgFile, v.ImgWriteBits, v.ImgBitmap, v.ImgAux, 0, v.ImgOption, v.ImgLibText); break;
    case 2: v.ImgResult = writepcxfile(v.ImgFile, v.ImgWriteBits, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 3: v.ImgResult = writebmpfile(v.ImgFile, v.ImgWriteBits, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 4: v.ImgResult = writepngfile(v.ImgFile, v.ImgWriteBits, 0, v.ImgBitmap, v.ImgAux, 0, v.ImgOption); break;
    case 5: v.ImgResult = writetiffile(v.ImgFile, v.ImgTifOption1, v.ImgTifOption2, v.ImgWriteBits, v.ImgBitmap, v.ImgAux, 0, v.ImgOption, v.ImgLibText); break;
    default: return false;  // a code of -1 writes nothing
  }
  return v.ImgResult != 0;
}

}  // namespace pixelmote::imaging
