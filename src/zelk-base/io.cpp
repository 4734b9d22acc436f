#include "zelk-base/io.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace zelk {

ArchiveError unexpected_eof() { return ArchiveError::io("failed to fill whole buffer"); }

Result<size_t> MemorySource::read(std::span<uint8_t> out) {
  size_t n = std::min(out.size(), data_.size() - pos_);
  if (n > 0) std::memcpy(out.data(), data_.data() + pos_, n);
  pos_ += n;
  return n;
}

Result<void> MemorySource::seek(uint64_t offset) {
  pos_ = static_cast<size_t>(std::min<uint64_t>(offset, data_.size()));
  return {};
}

Result<std::unique_ptr<FileSource>> FileSource::open(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(ArchiveError::io_errno(errno));
  struct stat info;
  if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
    ::close(fd);
    return fail(ArchiveError::io_errno(EISDIR));
  }
  return std::unique_ptr<FileSource>(new FileSource(fd));
}

FileSource::~FileSource() { ::close(fd_); }

Result<size_t> FileSource::read(std::span<uint8_t> out) {
  for (;;) {
    ssize_t n = ::read(fd_, out.data(), out.size());
    if (n >= 0) return static_cast<size_t>(n);
    if (errno != EINTR) return fail(ArchiveError::io_errno(errno));
  }
}

Result<void> FileSource::seek(uint64_t offset) {
  if (::lseek(fd_, static_cast<off_t>(offset), SEEK_SET) < 0)
    return fail(ArchiveError::io_errno(errno));
  return {};
}

Result<uint64_t> FileSource::size() {
  struct stat info;
  if (fstat(fd_, &info) != 0) return fail(ArchiveError::io_errno(errno));
  return static_cast<uint64_t>(info.st_size);
}

Result<OutputFile> OutputFile::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return fail(ArchiveError::io_errno(errno));
  return OutputFile(fd);
}

Result<OutputFile> OutputFile::duplicate(int fd) {
  int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail(ArchiveError::io_errno(errno));
  return OutputFile(copy);
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

Result<void> OutputFile::write(ByteSpan data) {
  size_t written = 0;
  while (written < data.size()) {
    ssize_t n = ::write(fd_, data.data() + written, data.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(ArchiveError::io_errno(errno));
    written += static_cast<size_t>(n);
  }
  return {};
}

Result<void> CallbackSource::seek(uint64_t) { return fail(ArchiveError::io_errno(ESPIPE)); }
Result<uint64_t> CallbackSource::size() { return fail(ArchiveError::io_errno(ESPIPE)); }

Result<size_t> BufferedReader::read_some_exact(std::span<uint8_t> out) {
  size_t filled = 0;
  while (filled < out.size()) {
    if (begin_ == end_) {
      // Large reads bypass the buffer.
      if (out.size() - filled >= buffer_.size()) {
        size_t n = ZELK_TRY(source_.read(out.subspan(filled)));
        if (n == 0) break;
        filled += n;
        position_ += n;
        continue;
      }
      size_t n = ZELK_TRY(source_.read(buffer_));
      if (n == 0) break;
      begin_ = 0;
      end_ = n;
    }
    size_t n = std::min(end_ - begin_, out.size() - filled);
    std::memcpy(out.data() + filled, buffer_.data() + begin_, n);
    begin_ += n;
    filled += n;
    position_ += n;
  }
  return filled;
}

Result<void> BufferedReader::read_exact(std::span<uint8_t> out) {
  size_t n = ZELK_TRY(read_some_exact(out));
  if (n != out.size()) return fail(unexpected_eof());
  return {};
}

Result<void> BufferedReader::skip(uint64_t n) {
  uint64_t buffered = end_ - begin_;
  if (n <= buffered) {
    begin_ += n;
    position_ += n;
    return {};
  }
  if (source_.seekable()) {
    uint64_t target = position_ + n;
    uint64_t length = ZELK_TRY(source_.size());
    if (target > length) return fail(unexpected_eof());
    return seek(target);
  }
  uint8_t scratch[4096];
  while (n > 0) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, sizeof scratch));
    ZELK_TRY(read_exact({scratch, chunk}));
    n -= chunk;
  }
  return {};
}

Result<void> BufferedReader::seek(uint64_t offset) {
  ZELK_TRY(source_.seek(offset));
  begin_ = end_ = 0;
  position_ = offset;
  return {};
}

}  // namespace zelk
