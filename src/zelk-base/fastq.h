// FASTQ input, plain or gzip/BGZF (consecutive gzip members until the
// input ends).
#pragma once

#include <memory>
#include <string>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"
#include "zelk-base/io.h"

namespace zelk {

struct FastqRecord {
  std::string header;  // the header line after '@' (name, separator, description)
  std::string sequence;
  std::string quality;
  bool plus_text = false;  // the '+' line carried text after the '+' (dropped)
};

// The one FASTQ line scanner: appends the bytes of `text` up to the next
// '\n' to `line` and consumes them with the newline. True when the line is
// complete (a '\r' before the newline is then dropped); false when `text`
// ran out first, the line continuing in the caller's next piece.
bool take_line(ByteSpan& text, std::string& line);

// The name of a header: the text up to the first space or tab.
std::string_view fastq_name(std::string_view header);
// The description after that separator; empty when there is none.
std::string_view fastq_description(std::string_view header);

class FastqReader {
 public:
  // Reads `source` (borrowed), undoing gzip when it starts with the gzip
  // magic. With `wrapped_lines`, sequence and quality may each span several
  // lines (the sequence runs to the '+' line, the quality until it is as
  // long as the sequence); otherwise every record is four lines.
  explicit FastqReader(Source& source, bool wrapped_lines = false);
  ~FastqReader();
  FastqReader(const FastqReader&) = delete;
  FastqReader& operator=(const FastqReader&) = delete;

  // The next record; false at the end of the input. Lines end at LF, a CR
  // before it is dropped. Sequence and quality lengths are not compared.
  Result<bool> next(FastqRecord& record);

  // Where the reader is, for messages: the number of the last line read
  // (1-based) and of the records completed so far.
  uint64_t line() const { return line_; }
  uint64_t records() const { return records_; }

 private:
  Result<void> read_wrapped(FastqRecord& record);
  // False when the input ended before any byte of the line.
  Result<bool> read_line(std::string& line);
  Result<bool> fill();

  // Set on the first fill: the source with its peeked bytes put back,
  // inflated when it is gzip.
  std::unique_ptr<Source> decompressor_;
  Source* input_;
  Bytes buffer_;
  size_t begin_ = 0;
  size_t end_ = 0;
  bool wrapped_lines_;
  uint64_t line_ = 0;
  uint64_t records_ = 0;
};

}  // namespace zelk
