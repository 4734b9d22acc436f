#include "zelk-base/fastq.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>

namespace zelk {

namespace {

constexpr size_t kCompressedPiece = 32 << 10;
constexpr size_t kLineBuffer = 64 << 10;
// No read may be longer (an archive cannot store it), so neither may a line
// or a wrapped sequence: a compressed input cannot grow one without bound.
constexpr size_t kMaxLine = UINT32_MAX;

ArchiveError invalid_data(const char* text) { return ArchiveError::io(text); }

// Re-delivers the bytes peeked to detect gzip before the rest of the source.
class PeekedSource final : public Source {
 public:
  PeekedSource(Source& inner, Bytes peeked) : inner_(inner), peeked_(std::move(peeked)) {}
  Result<size_t> read(std::span<uint8_t> out) override {
    if (pos_ < peeked_.size()) {
      size_t n = std::min(out.size(), peeked_.size() - pos_);
      std::memcpy(out.data(), peeked_.data() + pos_, n);
      pos_ += n;
      return n;
    }
    return inner_.read(out);
  }
  bool seekable() const override { return false; }
  Result<void> seek(uint64_t) override { return fail(ArchiveError::io("not seekable")); }
  Result<uint64_t> size() override { return fail(ArchiveError::io("not seekable")); }

 private:
  Source& inner_;
  Bytes peeked_;
  size_t pos_ = 0;
};

// Inflates consecutive gzip members of its input until the input ends.
class GzipSource final : public Source {
 public:
  explicit GzipSource(std::unique_ptr<Source> compressed) : compressed_(std::move(compressed)), input_(kCompressedPiece) {
    initialised_ = inflateInit2(&stream_, 16 + MAX_WBITS) == Z_OK;
  }
  ~GzipSource() override {
    if (initialised_) inflateEnd(&stream_);
  }

  Result<size_t> read(std::span<uint8_t> out) override {
    if (!initialised_) return fail(ArchiveError::io("out of memory"));
    stream_.next_out = out.data();
    stream_.avail_out = static_cast<uInt>(out.size());
    while (stream_.avail_out == out.size()) {
      if (stream_.avail_in == 0) {
        size_t n = ZELK_TRY(compressed_->read(input_));
        if (n == 0) {
          if (in_member_) return fail(invalid_data("corrupt deflate stream"));
          break;
        }
        stream_.next_in = input_.data();
        stream_.avail_in = static_cast<uInt>(n);
      }
      in_member_ = true;
      int status = inflate(&stream_, Z_NO_FLUSH);
      if (status == Z_STREAM_END) {
        in_member_ = false;
        inflateReset(&stream_);
      } else if (status != Z_OK && status != Z_BUF_ERROR) {
        return fail(describe_failure(status));
      }
    }
    return out.size() - stream_.avail_out;
  }
  bool seekable() const override { return false; }
  Result<void> seek(uint64_t) override { return fail(ArchiveError::io("not seekable")); }
  Result<uint64_t> size() override { return fail(ArchiveError::io("not seekable")); }

 private:
  ArchiveError describe_failure(int status) const {
    std::string_view message = stream_.msg ? stream_.msg : "";
    if (status == Z_DATA_ERROR && message == "incorrect data check")
      return invalid_data("corrupt gzip stream does not have a matching checksum");
    if (status == Z_DATA_ERROR && (message == "incorrect header check" ||
                                   message == "unknown compression method" ||
                                   message == "unknown header flags set"))
      return invalid_data("invalid gzip header");
    if (message == "header crc mismatch" || message == "extra field too long")
      return invalid_data("gzip header field too long");
    if (status == Z_MEM_ERROR) return ArchiveError::io("out of memory");
    return invalid_data("corrupt deflate stream");
  }

  std::unique_ptr<Source> compressed_;
  Bytes input_;
  z_stream stream_{};
  bool initialised_ = false;
  bool in_member_ = false;
};

}  // namespace

bool take_line(ByteSpan& text, std::string& line) {
  const void* newline = std::memchr(text.data(), '\n', text.size());
  size_t take = newline ? static_cast<const uint8_t*>(newline) - text.data() : text.size();
  line.append(reinterpret_cast<const char*>(text.data()), take);
  text = text.subspan(newline ? take + 1 : take);
  if (!newline) return false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

std::string_view fastq_name(std::string_view header) {
  return header.substr(0, header.find_first_of(" \t"));
}

std::string_view fastq_description(std::string_view header) {
  size_t separator = header.find_first_of(" \t");
  return separator == std::string_view::npos ? std::string_view() : header.substr(separator + 1);
}

FastqReader::FastqReader(Source& source, bool wrapped_lines)
    : input_(&source), buffer_(kLineBuffer), wrapped_lines_(wrapped_lines) {}

FastqReader::~FastqReader() = default;

Result<bool> FastqReader::fill() {
  if (begin_ > 0) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  if (!decompressor_) {
    // First fill: peek at the gzip magic and keep those bytes.
    Bytes peeked(2);
    size_t got = 0;
    while (got < 2) {
      size_t n = ZELK_TRY(input_->read(std::span(peeked).subspan(got)));
      if (n == 0) break;
      got += n;
    }
    peeked.resize(got);
    bool gzip = got == 2 && peeked[0] == 0x1F && peeked[1] == 0x8B;
    auto replay = std::make_unique<PeekedSource>(*input_, std::move(peeked));
    decompressor_ = gzip ? std::unique_ptr<Source>(new GzipSource(std::move(replay))) : std::move(replay);
    input_ = decompressor_.get();
  }
  size_t n = ZELK_TRY(input_->read(std::span(buffer_).subspan(end_)));
  end_ += n;
  return n > 0;
}

Result<bool> FastqReader::read_line(std::string& line) {
  line.clear();
  bool any = false;
  for (;;) {
    ByteSpan pending(buffer_.data() + begin_, end_ - begin_);
    bool complete = take_line(pending, line);
    any = any || complete || !line.empty();
    begin_ = end_ - pending.size();
    if (line.size() > kMaxLine) return fail(invalid_data("FASTQ line longer than 2^32 - 1 bytes"));
    if (complete) break;
    if (!ZELK_TRY(fill())) {
      // The last line may end without a newline; a trailing '\r' still goes.
      if (!line.empty() && line.back() == '\r') line.pop_back();
      break;
    }
  }
  if (any) ++line_;
  return any;
}

Result<bool> FastqReader::next(FastqRecord& record) {
  if (!ZELK_TRY(read_line(record.header))) return false;
  if (record.header.empty() || record.header[0] != '@') return fail(invalid_data("invalid name prefix"));
  record.header.erase(0, 1);
  if (wrapped_lines_) {
    ZELK_TRY(read_wrapped(record));
  } else {
    std::string separator;
    if (!ZELK_TRY(read_line(record.sequence)) || !ZELK_TRY(read_line(separator)))
      return fail(invalid_data("FASTQ record ends after its header line"));
    if (separator.empty() || separator[0] != '+') return fail(invalid_data("invalid description prefix"));
    record.plus_text = separator.size() > 1;
    if (!ZELK_TRY(read_line(record.quality)))
      return fail(invalid_data("FASTQ record ends before its quality line"));
  }
  ++records_;
  return true;
}

Result<void> FastqReader::read_wrapped(FastqRecord& record) {
  // Bases never contain '@' or '+': the sequence runs to the '+' line, and
  // a header line on the way means that line is missing.
  record.sequence.clear();
  std::string line;
  for (;;) {
    if (!ZELK_TRY(read_line(line))) return fail(invalid_data("FASTQ record ends before its '+' line"));
    if (line.starts_with('+')) break;
    if (line.starts_with('@')) return fail(invalid_data("expected a '+' line, found a header line"));
    if (record.sequence.size() + line.size() > kMaxLine) return fail(invalid_data("read longer than 2^32 - 1 bases"));
    record.sequence += line;
  }
  record.plus_text = line.size() > 1;
  // Quality lines may begin with any quality character, '@' and '+'
  // included, so only the length tells where they end.
  record.quality.clear();
  for (bool first = true; first || record.quality.size() < record.sequence.size(); first = false) {
    if (!ZELK_TRY(read_line(line))) {
      if (first) return fail(invalid_data("FASTQ record ends before its quality line"));
      // The input ended inside the quality: it is shorter than the bases.
      return fail(ArchiveError::io(ArchiveError::invalid_fastq(record.sequence.size(), record.quality.size()).message()));
    }
    record.quality += line;
  }
  return {};
}

}  // namespace zelk
