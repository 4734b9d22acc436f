// Byte sources the core reads archives from, and the buffered reader every
// container parse goes through. The core never sees Python: file-like
// objects reach it as a CallbackSource supplied by the binding.
#pragma once

#include <cstdint>
#include <functional>  // std::move_only_function
#include <memory>
#include <span>
#include <string>
#include <utility>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk {

class Source {
 public:
  virtual ~Source() = default;
  // Reads at most out.size() bytes; 0 means end of data.
  virtual Result<size_t> read(std::span<uint8_t> out) = 0;
  virtual bool seekable() const = 0;
  // Absolute seek; only for seekable sources.
  virtual Result<void> seek(uint64_t offset) = 0;
  // Total length; only for seekable sources.
  virtual Result<uint64_t> size() = 0;
};

// An owned copy of an archive held in memory.
class MemorySource final : public Source {
 public:
  explicit MemorySource(Bytes data) : data_(std::move(data)) {}
  Result<size_t> read(std::span<uint8_t> out) override;
  bool seekable() const override { return true; }
  Result<void> seek(uint64_t offset) override;
  Result<uint64_t> size() override { return data_.size(); }
  ByteSpan data() const { return data_; }

 private:
  Bytes data_;
  size_t pos_ = 0;
};

// A file opened for reading; closed when the source is destroyed.
class FileSource final : public Source {
 public:
  // Fails with the system's message for the path.
  static Result<std::unique_ptr<FileSource>> open(const std::string& path);
  ~FileSource() override;
  Result<size_t> read(std::span<uint8_t> out) override;
  bool seekable() const override { return true; }
  Result<void> seek(uint64_t offset) override;
  Result<uint64_t> size() override;

 private:
  explicit FileSource(int fd) : fd_(fd) {}
  int fd_;
};

// A forward-only stream read through a callback (a Python file-like object
// in the binding).
class CallbackSource final : public Source {
 public:
  using ReadFn = std::move_only_function<Result<size_t>(std::span<uint8_t>)>;
  explicit CallbackSource(ReadFn read) : read_(std::move(read)) {}
  Result<size_t> read(std::span<uint8_t> out) override { return read_(out); }
  bool seekable() const override { return false; }
  Result<void> seek(uint64_t) override;
  Result<uint64_t> size() override;

 private:
  ReadFn read_;
};

// A file created (or truncated) for writing; closed when destroyed.
class OutputFile {
 public:
  // Fails with the system's message.
  static Result<OutputFile> create(const std::string& path);
  // Writes where `fd` writes (its position, its append mode) and leaves it
  // open.
  static Result<OutputFile> duplicate(int fd);
  OutputFile(OutputFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OutputFile& operator=(OutputFile&&) = delete;
  ~OutputFile();

  // Writes all of `data`.
  Result<void> write(ByteSpan data);

 private:
  explicit OutputFile(int fd) : fd_(fd) {}
  int fd_;
};

// The 8 KiB buffer between a Source and the parsers.
class BufferedReader {
 public:
  static constexpr size_t kBufferSize = 8192;

  explicit BufferedReader(Source& source) : source_(source), buffer_(kBufferSize) {}

  // Fills `out` unless the data ends first; returns how many bytes arrived.
  Result<size_t> read_some_exact(std::span<uint8_t> out);
  // Fills `out` completely; end of data is an Io error ("failed to fill
  // whole buffer").
  Result<void> read_exact(std::span<uint8_t> out);
  // Skips `n` bytes forward; end of data is an Io error as above.
  Result<void> skip(uint64_t n);
  Result<void> seek(uint64_t offset);
  Result<uint64_t> size() { return source_.size(); }
  uint64_t position() const { return position_; }
  Source& source() { return source_; }

 private:
  Source& source_;
  Bytes buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  uint64_t position_ = 0;
};

// The Io error of a read that met the end of data before it was satisfied.
ArchiveError unexpected_eof();

}  // namespace zelk
