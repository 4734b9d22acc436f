// Streaming archive writing for the zelk package: an ArchiveStream takes
// records a batch at a time and hands back the archive bytes made so far,
// so the caller puts them wherever it likes with bounded memory; a
// FastqInput feeds it FASTQ text without a Python object per record.
#include <memory>
#include <string>
#include <vector>

#include "zelk-container/archive_writer.h"
#include "zelk-container/writer.h"
#include "zelk-base/fastq.h"
#include "zelk-python/common/boxed.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/writer/archive_options.h"
#include "zelk-python/writer/writer.h"

namespace zelk::py {

namespace {

using container::ArchiveOptions;
using container::ArchiveWriter;
using container::RecordWriter;

// Counts the bytes taken from a source: how far through its input a
// FastqInput is, for progress reports.
class CountingSource final : public Source {
 public:
  explicit CountingSource(std::unique_ptr<Source> inner) : inner_(std::move(inner)) {}
  Result<size_t> read(std::span<uint8_t> out) override {
    size_t n = ZELK_TRY(inner_->read(out));
    count_ += n;
    return n;
  }
  bool seekable() const override { return false; }
  Result<void> seek(uint64_t) override { return fail(ArchiveError::io("not seekable")); }
  Result<uint64_t> size() override { return fail(ArchiveError::io("not seekable")); }
  uint64_t count() const { return count_; }

 private:
  std::unique_ptr<Source> inner_;
  uint64_t count_ = 0;
};

// Marks an object as inside a call that runs without the interpreter lock,
// so that a second thread cannot enter it meanwhile.
class BusyGuard {
 public:
  explicit BusyGuard(bool& busy) : busy_(busy) { busy_ = true; }
  ~BusyGuard() { busy_ = false; }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  bool& busy_;
};

bool refuse_busy(bool busy, const char* type_name) {
  if (busy) PyErr_Format(PyExc_RuntimeError, "%s is in use by another thread", type_name);
  return busy;
}

// ---- FastqInput ------------------------------------------------------

struct FastqInputValue {
  std::unique_ptr<CountingSource> source;
  std::unique_ptr<FastqReader> reader;  // borrows `source`, so it goes first
  std::string label;                    // names the input in messages; may be empty
  bool busy = false;
};

// The same failure with its place in the input before its text:
// "{label}: line {l}, record {r}: {message}". Only reading failures and
// refused records are about a place in the input.
ArchiveError located(const FastqInputValue& input, uint64_t record, ArchiveError error) {
  std::string text = input.label.empty() ? std::string() : input.label + ": ";
  text += "line " + std::to_string(input.reader->line()) + ", record " + std::to_string(record) + ": ";
  text += error.message();
  switch (error.kind()) {
    case ErrorKind::Io: return ArchiveError::io(std::move(text));
    case ErrorKind::InvalidArgument: return ArchiveError::invalid_argument(std::move(text));
    default: return error;
  }
}

std::string named(const FastqInputValue& input) { return input.label.empty() ? "input" : input.label; }

PyObject* fastq_input_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "label", "wrapped", nullptr};
  PyObject *source_arg, *label_arg = Py_None;
  int wrapped = 1;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|O$p:FastqInput", const_cast<char**>(keywords), &source_arg,
                                   &label_arg, &wrapped))
    return nullptr;
  FastqInputValue value;
  if (label_arg != Py_None && !text_bytes(label_arg, value.label)) return nullptr;
  auto source = source_from_any(source_arg);
  if (!source) return nullptr;
  value.source = std::make_unique<CountingSource>(std::move(source));
  value.reader = std::make_unique<FastqReader>(*value.source, wrapped);
  return box(reinterpret_cast<PyObject*>(type), std::move(value));
}

template <uint64_t (FastqReader::*Count)() const>
PyObject* fastq_input_count(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong((unbox<FastqInputValue>(self).reader.get()->*Count)());
}

PyObject* fastq_input_bytes_read(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(unbox<FastqInputValue>(self).source->count());
}

PyObject* fastq_input_iter(PyObject* self) {
  Py_INCREF(self);
  return self;
}

PyObject* fastq_input_next(PyObject* self) {
  FastqInputValue& input = unbox<FastqInputValue>(self);
  if (refuse_busy(input.busy, "FastqInput")) return nullptr;
  FastqRecord record;
  Result<bool> more;
  {
    BusyGuard guard(input.busy);
    GilReleased unlocked;
    more = input.reader->next(record);
  }
  if (!more)
    return raise_writer_error(PyType_GetModule(Py_TYPE(self)),
                              located(input, input.reader->records() + 1, std::move(more).error()));
  if (!*more) return nullptr;  // no exception set: StopIteration
  return Py_BuildValue("(y#y#y#)", record.header.data(), static_cast<Py_ssize_t>(record.header.size()),
                       record.sequence.data(), static_cast<Py_ssize_t>(record.sequence.size()),
                       record.quality.data(), static_cast<Py_ssize_t>(record.quality.size()));
}

PyGetSetDef fastq_input_getters[] = {
    {"line", fastq_input_count<&FastqReader::line>, nullptr, "Lines read so far.", nullptr},
    {"records", fastq_input_count<&FastqReader::records>, nullptr, "Records read so far.", nullptr},
    {"bytes_read", fastq_input_bytes_read, nullptr,
     "Bytes taken from the source so far (compressed bytes for gzip input).", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot fastq_input_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "FastqInput(source, label=None, *, wrapped=True)\n--\n\n"
                    "FASTQ text to feed an ArchiveStream, or to iterate as (name, sequence,\n"
                    "quality) bytes triples: a path, bytes or a binary file-like object; plain,\n"
                    "gzip or BGZF; CR before LF is dropped. With `wrapped`, sequence and\n"
                    "quality may span several lines; otherwise records are four lines.\n"
                    "Messages about this input give the line and record, after `label` when\n"
                    "one is given.")},
    {Py_tp_new, reinterpret_cast<void*>(fastq_input_new)},
    {Py_tp_iter, reinterpret_cast<void*>(fastq_input_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(fastq_input_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<FastqInputValue>)},
    {Py_tp_getset, fastq_input_getters},
    {0, nullptr},
};

// ---- ArchiveStream ---------------------------------------------------

struct StreamValue {
  Bytes output;                          // archive bytes not yet taken
  std::unique_ptr<RecordWriter> writer;  // null once finished
  bool busy = false;
};

// The stream's writer for one call; nullptr with an exception set when the
// stream is finished or another thread is inside it.
RecordWriter* writer_for_call(StreamValue& stream) {
  if (refuse_busy(stream.busy, "ArchiveStream")) return nullptr;
  if (!stream.writer) PyErr_SetString(PyExc_ValueError, "ArchiveStream is finished");
  return stream.writer.get();
}

// The writer of the layout `kwargs` asks for; null with an exception set on
// a bad option.
std::unique_ptr<RecordWriter> stream_writer(PyObject* args, PyObject* kwargs, Bytes& output) {
  auto append = [out = &output](ByteSpan data) {
    append_bytes(*out, data);
    return Result<void>();
  };
  int layout = requested_layout(kwargs);
  if (layout < 0) return nullptr;
  ArchiveOptions options;
  if (layout == 1) {
    container::ReorderedOptions reordered;
    if (PyTuple_Size(args) != 0) {
      PyErr_SetString(PyExc_TypeError, "ArchiveStream() takes keyword arguments only");
      return nullptr;
    }
    options.threads = 0;
    if (!reordered_options_from(kwargs, "ArchiveStream", options, reordered)) return nullptr;
    return std::make_unique<container::ReorderedArchiveWriter>(std::move(options), reordered, append);
  }
  static const char* keywords[] = {ZELK_ARCHIVE_KEYWORDS, nullptr};
  OptionArgs a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, ZELK_ARCHIVE_FORMAT ":ArchiveStream",
                                   const_cast<char**>(keywords), ZELK_ARCHIVE_OPTION_POINTERS(a)) ||
      !options_from(a, options))
    return nullptr;
  return std::make_unique<ArchiveWriter>(std::move(options), append);
}

PyObject* stream_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* self = box(reinterpret_cast<PyObject*>(type), StreamValue{});
  if (!self) return nullptr;
  // Built in place: the output function points into the object.
  StreamValue& stream = unbox<StreamValue>(self);
  stream.writer = stream_writer(args, kwargs, stream.output);
  if (!stream.writer) Py_CLEAR(self);
  return self;
}

// Adds `records` with the lock released; false with the writer's refusal
// raised.
bool add_all(PyObject* self, RecordWriter& writer, std::vector<FastqRecord> records) {
  StreamValue& stream = unbox<StreamValue>(self);
  Result<void> written;
  {
    BusyGuard guard(stream.busy);
    GilReleased unlocked;
    for (FastqRecord& record : records)
      if (!(written = writer.add(std::move(record)))) break;
  }
  return check(PyType_GetModule(Py_TYPE(self)), written);
}

bool record_from(PyObject* name, PyObject* sequence, PyObject* quality, FastqRecord& record) {
  return text_bytes(name, record.header) && text_bytes(sequence, record.sequence) &&
         text_bytes(quality, record.quality);
}

PyObject* stream_add(PyObject* self, PyObject* args) {
  PyObject *name, *sequence, *quality;
  if (!PyArg_ParseTuple(args, "OOO:add", &name, &sequence, &quality)) return nullptr;
  StreamValue& stream = unbox<StreamValue>(self);
  RecordWriter* writer = writer_for_call(stream);
  std::vector<FastqRecord> records(1);
  if (!writer || !record_from(name, sequence, quality, records[0]) || !add_all(self, *writer, std::move(records)))
    return nullptr;
  Py_RETURN_NONE;
}

PyObject* stream_add_records(PyObject* self, PyObject* records_arg) {
  StreamValue& stream = unbox<StreamValue>(self);
  RecordWriter* writer = writer_for_call(stream);
  if (!writer) return nullptr;
  PyRef iterator(PyObject_GetIter(records_arg));
  if (!iterator) return nullptr;
  std::vector<FastqRecord> records;
  while (PyRef item{PyIter_Next(iterator.get())}) {
    PyRef fields(PySequence_Fast(item.get(), "each record must be a (name, sequence, quality) triple"));
    if (!fields) return nullptr;
    if (PySequence_Size(fields.get()) != 3) {
      PyErr_SetString(PyExc_ValueError, "each record must be a (name, sequence, quality) triple");
      return nullptr;
    }
    PyRef name(PySequence_GetItem(fields.get(), 0)), sequence(PySequence_GetItem(fields.get(), 1)),
        quality(PySequence_GetItem(fields.get(), 2));
    if (!record_from(name.get(), sequence.get(), quality.get(), records.emplace_back())) return nullptr;
  }
  size_t count = records.size();
  if (PyErr_Occurred() || !add_all(self, *writer, std::move(records))) return nullptr;
  return PyLong_FromSize_t(count);
}

// After the first input ended: every other input must end there too.
Result<void> check_ends_together(const std::vector<FastqInputValue*>& inputs) {
  FastqRecord extra;
  for (size_t i = 1; i < inputs.size(); ++i) {
    FastqInputValue& input = *inputs[i];
    auto more = input.reader->next(extra);
    if (!more) return fail(located(input, input.reader->records() + 1, std::move(more).error()));
    if (*more)
      return fail(ArchiveError::invalid_argument(named(input) + ": more records than " + named(*inputs[0]) + " (" +
                                                 std::to_string(inputs[0]->reader->records()) + ")"));
  }
  return {};
}

// Reads one read slot, one record from each input in turn; false once the
// inputs have ended, together.
Result<bool> next_slot(const std::vector<FastqInputValue*>& inputs, std::vector<FastqRecord>& slot) {
  slot.resize(inputs.size());
  for (size_t i = 0; i < inputs.size(); ++i) {
    FastqInputValue& input = *inputs[i];
    auto more = input.reader->next(slot[i]);
    if (!more) return fail(located(input, input.reader->records() + 1, std::move(more).error()));
    if (!*more) {
      if (i == 0) {
        ZELK_TRY(check_ends_together(inputs));
        return false;
      }
      return fail(ArchiveError::invalid_argument(named(input) + ": ends after " +
                                                 std::to_string(input.reader->records()) + " records, before " +
                                                 named(*inputs[0])));
    }
  }
  return true;
}

// Reads per add_fastq call at most, so that callers can report progress
// even while the writer holds everything until it finishes.
constexpr uint64_t kMaxReadsPerFeed = 1 << 16;

// Adds read slots until the writer has written something to `output`, a
// batch of reads was added, or the inputs end.
Result<void> feed(RecordWriter& writer, const Bytes& output, const std::vector<FastqInputValue*>& inputs,
                  uint64_t& added) {
  std::vector<FastqRecord> slot;
  for (size_t before = output.size(); output.size() == before && added < kMaxReadsPerFeed;) {
    if (!ZELK_TRY(next_slot(inputs, slot))) return {};
    for (size_t i = 0; i < inputs.size(); ++i) {
      if (auto written = writer.add(std::move(slot[i])); !written)
        return fail(located(*inputs[i], inputs[i]->reader->records(), std::move(written).error()));
      ++added;
    }
  }
  return {};
}

// The FastqInput objects of `arg`: one, or a sequence of them (the
// interleaved members); nullptr-free and not busy.
bool inputs_from(WriterState* state, PyObject* arg, std::vector<PyRef>& owned,
                 std::vector<FastqInputValue*>& inputs) {
  auto* input_type = reinterpret_cast<PyTypeObject*>(state->fastq_input_type);
  if (PyObject_TypeCheck(arg, input_type)) {
    owned.push_back(PyRef::borrow(arg));
  } else {
    PyRef items(PySequence_Fast(arg, "inputs must be a FastqInput or a sequence of them"));
    if (!items) return false;
    for (Py_ssize_t i = 0; i < PySequence_Size(items.get()); ++i) owned.emplace_back(PySequence_GetItem(items.get(), i));
  }
  if (owned.empty()) {
    PyErr_SetString(PyExc_ValueError, "inputs must not be empty");
    return false;
  }
  for (const PyRef& item : owned) {
    if (!item || !PyObject_TypeCheck(item.get(), input_type)) {
      if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "inputs must be a FastqInput or a sequence of them");
      return false;
    }
    FastqInputValue& input = unbox<FastqInputValue>(item.get());
    if (refuse_busy(input.busy, "FastqInput")) return false;
    inputs.push_back(&input);
  }
  return true;
}

PyObject* stream_add_fastq(PyObject* self, PyObject* inputs_arg) {
  StreamValue& stream = unbox<StreamValue>(self);
  RecordWriter* writer = writer_for_call(stream);
  std::vector<PyRef> owned;
  std::vector<FastqInputValue*> inputs;
  if (!writer || !inputs_from(writer_state_of_type(Py_TYPE(self)), inputs_arg, owned, inputs)) return nullptr;
  uint64_t added = 0;
  Result<void> fed;
  for (FastqInputValue* input : inputs) input->busy = true;
  {
    BusyGuard guard(stream.busy);
    GilReleased unlocked;
    fed = feed(*writer, stream.output, inputs, added);
  }
  for (FastqInputValue* input : inputs) input->busy = false;
  if (!check(PyType_GetModule(Py_TYPE(self)), fed)) return nullptr;
  return PyLong_FromUnsignedLongLong(added);
}

PyObject* take_output(StreamValue& stream) {
  PyObject* out = bytes_from(ByteSpan(stream.output));
  if (out) stream.output.clear();
  return out;
}

PyObject* stream_take(PyObject* self, PyObject*) {
  StreamValue& stream = unbox<StreamValue>(self);
  if (refuse_busy(stream.busy, "ArchiveStream")) return nullptr;
  return take_output(stream);
}

PyObject* stream_finish(PyObject* self, PyObject*) {
  StreamValue& stream = unbox<StreamValue>(self);
  RecordWriter* writer = writer_for_call(stream);
  if (!writer) return nullptr;
  Result<void> finished;
  {
    BusyGuard guard(stream.busy);
    GilReleased unlocked;
    finished = writer->finish();
  }
  stream.writer.reset();
  if (!check(PyType_GetModule(Py_TYPE(self)), finished)) return nullptr;
  return take_output(stream);
}

PyMethodDef stream_methods[] = {
    {"add", stream_add, METH_VARARGS,
     "add(name, sequence, quality)\n--\n\n"
     "Add one record; each field is bytes or str (UTF-8). `name` is the header\n"
     "line without its '@'."},
    {"add_records", stream_add_records, METH_O,
     "add_records(records)\n--\n\n"
     "Add every (name, sequence, quality) triple of an iterable. Returns the count."},
    {"add_fastq", stream_add_fastq, METH_O,
     "add_fastq(inputs)\n--\n\n"
     "Add records from a FastqInput, or from a sequence of them taken one record\n"
     "each in turn (interleaved members, such as R1 and R2, which must end\n"
     "together), until a batch of blocks has been written, 65536 records were\n"
     "added, or the input ends.\n"
     "Returns the records added; 0 once the input is exhausted."},
    {"take", stream_take, METH_NOARGS,
     "take()\n--\n\nThe archive bytes produced since the last call."},
    {"finish", stream_finish, METH_NOARGS,
     "finish()\n--\n\nWrite the last block, the footer and the trailer; returns the remaining\n"
     "archive bytes. The stream takes nothing more afterwards."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot stream_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "ArchiveStream(*, " ZELK_ARCHIVE_OPTIONS_DOC ")\n--\n\n"
                    "An archive written a batch of records at a time. Blocks are encoded as\n"
                    "they fill (`threads` at once, 0 for one per processor) and their bytes\n"
                    "wait in the stream until `take()`, so memory stays bounded by a few\n"
                    "blocks.\n\n"
                    "layout=\"reordered\" writes the globally reordered layout instead, with\n"
                    "write_archive's keywords for it: every record is held until `finish()`,\n"
                    "which writes the whole archive.")},
    {Py_tp_new, reinterpret_cast<void*>(stream_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<StreamValue>)},
    {Py_tp_methods, stream_methods},
    {0, nullptr},
};

// ---- Blocks encoded apart -------------------------------------------

// Every record of `inputs`, interleaved by slot.
Result<std::vector<FastqRecord>> read_all(const std::vector<FastqInputValue*>& inputs) {
  std::vector<FastqRecord> records, slot;
  while (ZELK_TRY(next_slot(inputs, slot)))
    for (FastqRecord& record : slot) records.push_back(std::move(record));
  return records;
}

struct EncodedBlock {
  Bytes head;  // for the first block: what the archive holds before it
  Bytes frame;
  container::FrameSummary summary;
};

Result<EncodedBlock> encode_inputs(const std::vector<FastqInputValue*>& inputs, bool first,
                                   const ArchiveOptions& options) {
  std::vector<FastqRecord> records = ZELK_TRY(read_all(inputs));
  if (records.empty()) return fail(ArchiveError::invalid_argument("a block needs at least one record"));
  EncodedBlock block;
  if (first) block.head = ZELK_TRY(container::archive_header(records, options));
  Bytes payload = ZELK_TRY(container::encode_block(records, options));
  // The payload was just encoded, so it always splits into its streams.
  if (!container::frame_with_summary(payload, block.frame, block.summary))
    return fail(ArchiveError::invalid_argument("encoded block does not split into its streams"));
  return block;
}

PyObject* summary_tuple(const container::FrameSummary& summary) {
  const auto& streams = summary.entry.streams;
  return Py_BuildValue("(KkI(KIk)(KIk)(KIk))", static_cast<unsigned long long>(summary.length),
                       static_cast<unsigned long>(summary.crc), summary.entry.read_count,
                       static_cast<unsigned long long>(streams[0].offset), streams[0].length,
                       static_cast<unsigned long>(streams[0].crc), static_cast<unsigned long long>(streams[1].offset),
                       streams[1].length, static_cast<unsigned long>(streams[1].crc),
                       static_cast<unsigned long long>(streams[2].offset), streams[2].length,
                       static_cast<unsigned long>(streams[2].crc));
}

PyObject* py_encode_block(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"inputs", "first", ZELK_ARCHIVE_KEYWORDS, nullptr};
  PyObject* inputs_arg;
  int first;
  OptionArgs a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "Op" ZELK_ARCHIVE_FORMAT ":encode_block",
                                   const_cast<char**>(keywords), &inputs_arg, &first,
                                   ZELK_ARCHIVE_OPTION_POINTERS(a)))
    return nullptr;
  ArchiveOptions options;
  std::vector<PyRef> owned;
  std::vector<FastqInputValue*> inputs;
  if (!options_from(a, options) || !inputs_from(writer_state(module), inputs_arg, owned, inputs)) return nullptr;
  Result<EncodedBlock> block;
  for (FastqInputValue* input : inputs) input->busy = true;
  {
    GilReleased unlocked;
    block = encode_inputs(inputs, first, options);
  }
  for (FastqInputValue* input : inputs) input->busy = false;
  if (!block) return raise_writer_error(module, block.error());
  PyRef head(bytes_from(ByteSpan(block->head))), frame(bytes_from(ByteSpan(block->frame)));
  PyRef summary(summary_tuple(block->summary));
  if (!head || !frame || !summary) return nullptr;
  return PyTuple_Pack(3, head.get(), frame.get(), summary.get());
}

PyObject* py_block_reads_for(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"first_read_length", ZELK_ARCHIVE_KEYWORDS, nullptr};
  unsigned long long first_read_length;
  OptionArgs a;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "K" ZELK_ARCHIVE_FORMAT ":block_reads_for",
                                   const_cast<char**>(keywords), &first_read_length,
                                   ZELK_ARCHIVE_OPTION_POINTERS(a)))
    return nullptr;
  ArchiveOptions options;
  if (!options_from(a, options)) return nullptr;
  return PyLong_FromUnsignedLongLong(container::block_reads_for(options, first_read_length));
}

PyType_Spec fastq_input_spec = boxed_spec<FastqInputValue>("zelk._zelk_writer.FastqInput", fastq_input_slots, 0);
PyType_Spec stream_spec = boxed_spec<StreamValue>("zelk._zelk_writer.ArchiveStream", stream_slots, 0);

int add_type(PyObject* module, PyType_Spec& spec, PyObject** keep) {
  PyObject* type = PyType_FromModuleAndSpec(module, &spec, nullptr);
  if (!type) return -1;
  if (keep) {
    Py_INCREF(type);
    *keep = type;
  }
  int added = PyModule_AddType(module, reinterpret_cast<PyTypeObject*>(type));
  Py_DECREF(type);
  return added;
}

}  // namespace

PyMethodDef block_methods[] = {
    ZELK_WRITER_FN(encode_block,
                   "encode_block(inputs, first, *, " ZELK_ARCHIVE_OPTIONS_DOC ")\n--\n\n"
                   "One block of an archive assembled elsewhere, from every record of `inputs`\n"
                   "(a FastqInput, or mates taken a record each in turn). Returns (head, frame,\n"
                   "summary): when `first`, what the archive holds before this block (the\n"
                   "header, and the shared reference frame if any), else b''; the block frame;\n"
                   "and what archive_ending needs of it. With the same options the pieces are\n"
                   "those ArchiveStream writes."),
    ZELK_WRITER_FN(block_reads_for,
                   "block_reads_for(first_read_length, *, " ZELK_ARCHIVE_OPTIONS_DOC ")\n--\n\n"
                   "The reads per block ArchiveStream chooses when the first read has this length."),
    {nullptr, nullptr, 0, nullptr},
};

int add_stream_types(PyObject* module) {
  if (add_type(module, fastq_input_spec, &writer_state(module)->fastq_input_type) < 0) return -1;
  return add_type(module, stream_spec, nullptr);
}

}  // namespace zelk::py
