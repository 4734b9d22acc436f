// Records of an archive delivered one at a time from a decode thread over a
// bounded channel (the engine behind the Python Reader).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "zelk-container/decode.h"
#include "zelk-base/error.h"
#include "zelk-base/thread.h"

namespace zelk {
class Source;
}

namespace zelk::container {

class RecordStream {
 public:
  static constexpr size_t kChannelCapacity = 1024;
  static constexpr size_t kDecodeThreadStack = 2 << 20;

  // Starts the decode thread over `source` (which it owns from then on).
  static Result<std::unique_ptr<RecordStream>> start(std::unique_ptr<Source> source, DecodeRequest request);

  // Dropping the stream fails the decode thread's later sends, so it ends
  // promptly; it is not joined.
  ~RecordStream();

  // The next record, or nullopt once the decode thread has ended and every
  // record it sent was taken, waiting at most `wait` for it; `timed_out`
  // tells a wait that ran out from the end of the stream.
  std::optional<Record> next_for(std::chrono::milliseconds wait, bool& timed_out);

  // After next() returned nullopt: joins the decode thread and returns how
  // its decode ended.
  Result<void> finish();

  struct Shared;

 private:
  RecordStream(std::shared_ptr<Shared> shared, Thread thread);
  std::shared_ptr<Shared> shared_;
  Thread thread_;
};

// Turns FASTQ text back into records: lines split at '\n' (a trailing '\r'
// dropped), four lines a record, the name's leading '@' removed.
class RecordSplitter {
 public:
  // Called for every completed record; its failure ends the feed.
  using Deliver = std::function<Result<void>(Record)>;
  explicit RecordSplitter(Deliver deliver) : deliver_(std::move(deliver)) {}
  Result<void> feed(ByteSpan text);

 private:
  Result<void> complete_line(std::string line);

  Deliver deliver_;
  std::string partial_line_;
  int phase_ = 0;
  Record pending_;
};

}  // namespace zelk::container
