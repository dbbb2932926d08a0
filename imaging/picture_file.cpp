#include "imaging/picture_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>

#include "util/unique_fd.h"

namespace pixelmote::imaging {

namespace {

FileIdentity identityOf(const struct stat& st) {
  return FileIdentity{static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_mtim.tv_sec),
                      static_cast<long>(st.st_mtim.tv_nsec)};
}

}  // namespace

std::optional<FileIdentity> fileIdentity(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return identityOf(st);
}

util::Result<PictureBytes> readPicture(const std::string& path, const Codec& codec, const DecodeLimits& limits) {
  using R = util::Result<PictureBytes>;
  const util::UniqueFd fd = util::openForReading(path);
  if (!fd) return R::failure("cannot open " + path + ": " + std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return R::failure("cannot read " + path + ": not a regular file");
  PictureBytes picture;
  picture.identity = identityOf(st);
  const std::uint64_t fileSize = st.st_size > 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
  const auto readFailure = [&] { return R::failure("cannot read " + path + ": " + std::strerror(errno)); };

  std::vector<std::uint8_t>& data = picture.data;
  if (!util::readOn(fd.get(), data, std::min<std::uint64_t>(fileSize, kHeadBytes))) return readFailure();
  std::uint64_t bound = kWholeFile;
  for (;;) {
    auto check = codec.checkHead(Bytes(data), fileSize, limits);
    if (!check) return R::failure(check.message());
    if (check->needBytes <= data.size()) {
      bound = check->readBound;
      break;
    }
    const auto maxHeader = static_cast<std::uint64_t>(std::max<std::int64_t>(limits.maxHeaderBytes, 0));
    if (data.size() >= maxHeader) {
      return R::failure("no picture data in the first " + std::to_string(maxHeader >> 20) + " MB");
    }
    const std::size_t before = data.size();
    if (!util::readOn(fd.get(), data, std::min({check->needBytes, maxHeader, fileSize}))) return readFailure();
    if (data.size() == before) break;  // the file shrank: the decoder reports what is missing
  }

  const std::uint64_t total = std::min(fileSize, bound);
  if (total > kMaxPictureFileBytes) return R::failure("cannot read " + path + ": file too large");
  if (data.size() > total) data.resize(static_cast<std::size_t>(total));
  if (!util::readOn(fd.get(), data, total)) return readFailure();
  return picture;
}

std::uint64_t plannedReadBytes(const Codec& codec, Bytes head, std::uint64_t fileSize,
                               const DecodeLimits& limits) {
  const auto check = codec.checkHead(head, fileSize, limits);
  if (!check) return head.size();  // refused at once
  // A header longer than the head: how much longer is not known yet.
  if (check->needBytes > head.size()) return std::min(fileSize, kMaxPictureFileBytes);
  return std::min(fileSize, check->readBound);
}

}  // namespace pixelmote::imaging
