#include "zelk-container/record_stream.h"

#include <algorithm>
#include <cstring>

#include "zelk-base/channel.h"
#include "zelk-base/fastq.h"
#include "zelk-base/io.h"

namespace zelk::container {

struct RecordStream::Shared {
  Channel<Record> channel{kChannelCapacity};
  // Written by the decode thread before it closes its end of the channel.
  Result<void> outcome;
};

namespace {

ArchiveError receiver_dropped() { return ArchiveError::io("record receiver dropped"); }

// Sends records on the channel: the decode's sink in both modes.
class ChannelSink final : public RecordSink {
 public:
  explicit ChannelSink(Channel<Record>& channel)
      : channel_(channel), splitter_([this](Record record) { return send(std::move(record)); }) {}

  Result<void> write_text(ByteSpan text) override { return splitter_.feed(text); }
  Result<void> write_record(Record record) override { return send(std::move(record)); }

 private:
  Result<void> send(Record record) {
    if (!channel_.send(std::move(record))) return fail(receiver_dropped());
    return {};
  }

  Channel<Record>& channel_;
  RecordSplitter splitter_;
};

void run_decode(RecordStream::Shared& shared, Source& source, const DecodeRequest& request) {
  try {
    ChannelSink sink(shared.channel);
    auto reads = decode_archive(source, request, sink);
    if (!reads) shared.outcome = fail(std::move(reads).error());
  } ZELK_RETHROW_THREAD_EXIT catch (...) {
    // An internal fault (not an error value) still ends the stream cleanly.
    shared.outcome = fail(ArchiveError::malformed("record decode thread panicked"));
  }
}

}  // namespace

Result<std::unique_ptr<RecordStream>> RecordStream::start(std::unique_ptr<Source> source,
                                                          DecodeRequest request) {
  auto shared = std::make_shared<Shared>();
  std::shared_ptr<Source> owned_source(std::move(source));
  Thread thread = ZELK_TRY(Thread::spawn(
      [shared, owned_source, request] {
        run_decode(*shared, *owned_source, request);
        shared->channel.close_sender();
      },
      kDecodeThreadStack));
  return std::unique_ptr<RecordStream>(new RecordStream(std::move(shared), std::move(thread)));
}

RecordStream::RecordStream(std::shared_ptr<Shared> shared, Thread thread)
    : shared_(std::move(shared)), thread_(std::move(thread)) {}

RecordStream::~RecordStream() { shared_->channel.close_receiver(); }

std::optional<Record> RecordStream::next_for(std::chrono::milliseconds wait, bool& timed_out) {
  return shared_->channel.receive_for(wait, timed_out);
}

Result<void> RecordStream::finish() {
  thread_.join();
  return shared_->outcome;
}

Result<void> RecordSplitter::feed(ByteSpan text) {
  while (!text.empty()) {
    if (!take_line(text, partial_line_)) break;
    ZELK_TRY(complete_line(std::move(partial_line_)));
    partial_line_.clear();
  }
  return {};
}

Result<void> RecordSplitter::complete_line(std::string line) {
  int phase = phase_;
  phase_ = (phase_ + 1) % 4;
  switch (phase) {
    case 0:
      if (!line.empty() && line.front() == '@') line.erase(0, 1);
      pending_.name = std::move(line);
      return {};
    case 1:
      pending_.sequence = std::move(line);
      return {};
    case 2:
      return {};
    default:
      pending_.quality = std::move(line);
      return deliver_(std::move(pending_));
  }
}

}  // namespace zelk::container
