// open / Reader and the two decompress functions: whole-archive decodes
// run with the interpreter lock released.
#include <pthread.h>

#include <memory>

#include "zelk-container/decode.h"
#include "zelk-container/record_stream.h"
#include "zelk-python/common/py.h"
#include "zelk-python/common/source.h"
#include "zelk-python/reader/functions.h"
#include "zelk-python/reader/objects.h"
#include "zelk-python/reader/stream_name.h"

namespace zelk::py {

namespace {

using container::DecodeRequest;
using container::StreamSelection;

struct ReaderValue {
  std::unique_ptr<container::RecordStream> stream;  // null once the end was observed
  pthread_t owner;
  bool busy = false;  // keeps a re-entered __next__ from running twice at once
};

constexpr const char* kStreamsTypeText =
    "streams must be None, a stream name, or an iterable of stream names ('names', 'sequence', "
    "'quality')";
constexpr const char* kStreamsItemText = "streams items must be str stream names ('names', 'sequence', 'quality')";

// How often a waiting Reader looks for Ctrl-C.
constexpr std::chrono::milliseconds kSignalCheckInterval{100};

bool set_stream(StreamSelection& selection, PyObject* name) {
  container::StreamKind kind;
  if (!stream_kind_from(name, kind)) return false;
  switch (kind) {
    case container::StreamKind::Names: selection.names = true; break;
    case container::StreamKind::Sequence: selection.sequence = true; break;
    case container::StreamKind::Quality: selection.quality = true; break;
  }
  return true;
}

bool selection_from(PyObject* streams, StreamSelection& selection) {
  if (!streams || streams == Py_None) return true;
  selection = {false, false, false};
  if (PyUnicode_Check(streams)) return set_stream(selection, streams);
  PyRef iterator(PyObject_GetIter(streams));
  if (!iterator) {
    if (PyErr_ExceptionMatches(PyExc_TypeError)) {
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, kStreamsTypeText);
    }
    return false;
  }
  while (PyRef item{PyIter_Next(iterator.get())}) {
    if (!PyUnicode_Check(item.get())) {
      PyErr_SetString(PyExc_TypeError, kStreamsItemText);
      return false;
    }
    if (!set_stream(selection, item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool on_owner_thread(const ReaderValue& reader) {
  if (pthread_equal(reader.owner, pthread_self())) return true;
  PyErr_SetString(PyExc_RuntimeError, "_zelk::PyReader is unsendable, but sent to another thread");
  return false;
}

PyObject* reader_iter(PyObject* self) {
  if (!on_owner_thread(unbox<ReaderValue>(self))) return nullptr;
  Py_INCREF(self);
  return self;
}

PyObject* reader_next(PyObject* self) {
  ReaderValue& reader = unbox<ReaderValue>(self);
  if (!on_owner_thread(reader) || !reader.stream) return nullptr;  // no exception: StopIteration
  if (reader.busy) {
    PyErr_SetString(PyExc_RuntimeError, "Reader is already producing a record");
    return nullptr;
  }
  reader.busy = true;
  std::optional<container::Record> record;
  Result<void> outcome;
  // Waits in short slices so that Ctrl-C is seen while the decode thread
  // is still working; the reader stays usable after it.
  for (bool timed_out = true; timed_out;) {
    {
      GilReleased unlocked;
      record = reader.stream->next_for(kSignalCheckInterval, timed_out);
      if (!record && !timed_out) outcome = reader.stream->finish();
    }
    if (timed_out && PyErr_CheckSignals() < 0) {
      reader.busy = false;
      return nullptr;
    }
  }
  reader.busy = false;
  ModuleState* state = state_of_type(Py_TYPE(self));
  if (record) return new_record(state, std::move(*record));
  reader.stream.reset();
  if (!outcome) return raise_archive_error(state->zelk_error, outcome.error());
  return nullptr;
}

PyObject* reader_enter(PyObject* self, PyObject*) {
  Py_INCREF(self);
  return self;
}

PyObject* reader_exit(PyObject* self, PyObject*) {
  if (!on_owner_thread(unbox<ReaderValue>(self))) return nullptr;
  Py_RETURN_FALSE;
}

void reader_dealloc(PyObject* self) {
  ReaderValue& reader = unbox<ReaderValue>(self);
  if (!pthread_equal(reader.owner, pthread_self())) {
    // Not ours to tear down from here: report it and abandon the stream.
    PyErr_SetString(PyExc_RuntimeError,
                    "_zelk::PyReader is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(self);
    (void)reader.stream.release();
  }
  boxed_dealloc<ReaderValue>(self);
}

PyMethodDef reader_methods[] = {
    {"__enter__", reader_enter, METH_NOARGS, nullptr},
    {"__exit__", reader_exit, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot reader_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A streaming iterator over an archive's records, in original file order.\n"
                    "Handles every layout, including globally-reordered archives.\n\n"
                    "`unsendable`: the reader owns a channel `Receiver` (`!Sync`), so the object is\n"
                    "pinned to the thread that created it — the natural usage for an iterator.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_iter, reinterpret_cast<void*>(reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(reader_next)},
    {Py_tp_methods, reader_methods},
    {0, nullptr},
};

// Runs decode_archive on `source` into `out` with the lock released; a
// signal handler that raises (Ctrl-C) stops it between blocks.
Result<uint64_t> decode_to(std::unique_ptr<Source>& source, uint64_t threads, bool fasta,
                           container::BufferedOutput& out, SignalWatch& signals) {
  GilReleased unlocked;
  DecodeRequest request{threads, !fasta, {true, true, false}, [&] { return signals.raised(); }};
  container::TextSink sink(out, fasta);
  auto reads = container::decode_archive(*source, request, sink);
  auto flushed = out.flush();
  source.reset();
  if (reads && !flushed) return fail(std::move(flushed).error());
  return reads;
}

// The exception for a failed decode: the signal handler's own when the
// decode stopped for it.
PyObject* raise_decode_error(PyObject* module, const ArchiveError& error, SignalWatch& signals) {
  if (error.kind() == ErrorKind::Interrupted) {
    signals.restore();
    return nullptr;
  }
  return raise_archive_error(module_state(module)->zelk_error, error);
}

}  // namespace

PyType_Spec reader_type_spec = boxed_spec<ReaderValue>("_zelk.Reader", reader_slots);

PyObject* py_open(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "threads", "streams", nullptr};
  PyObject *source_arg, *threads_arg = nullptr, *streams = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OO:open", const_cast<char**>(keywords), &source_arg,
                                   &threads_arg, &streams))
    return nullptr;
  uint64_t threads;
  StreamSelection selection;
  if (!threads_from(threads_arg, threads) || !selection_from(streams, selection)) return nullptr;
  auto source = source_from_any(source_arg);
  if (!source) return nullptr;
  auto stream = container::RecordStream::start(std::move(source),
                                               DecodeRequest{threads, selection.all(), selection, {}});
  ModuleState* state = module_state(module);
  if (!stream) return raise_archive_error(state->zelk_error, stream.error());
  return box(state->types[kReaderType], ReaderValue{std::move(*stream), pthread_self(), false});
}

PyObject* py_decompress_to_path(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "dest", "threads", "fasta", nullptr};
  PyObject *source_arg, *dest_arg, *threads_arg = nullptr;
  int fasta = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$Op:decompress_to_path", const_cast<char**>(keywords),
                                   &source_arg, &dest_arg, &threads_arg, &fasta))
    return nullptr;
  uint64_t threads;
  if (!threads_from(threads_arg, threads)) return nullptr;
  auto source = source_from_any(source_arg);
  if (!source) return nullptr;
  auto file = output_file_from(dest_arg);
  if (!file) return nullptr;
  container::BufferedOutput out(file.get());
  SignalWatch signals;
  auto reads = decode_to(source, threads, fasta, out, signals);
  file.reset();
  if (!reads) return raise_decode_error(module, reads.error(), signals);
  return PyLong_FromUnsignedLongLong(*reads);
}

PyObject* py_decompress_to_bytes(PyObject* module, PyObject* args, PyObject* kwargs) {
  static const char* keywords[] = {"source", "threads", "fasta", nullptr};
  PyObject *source_arg, *threads_arg = nullptr;
  int fasta = 0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$Op:decompress_to_bytes", const_cast<char**>(keywords),
                                   &source_arg, &threads_arg, &fasta))
    return nullptr;
  uint64_t threads;
  if (!threads_from(threads_arg, threads)) return nullptr;
  auto source = source_from_any(source_arg);
  if (!source) return nullptr;
  container::BufferedOutput out(nullptr);
  SignalWatch signals;
  auto reads = decode_to(source, threads, fasta, out, signals);
  if (!reads) return raise_decode_error(module, reads.error(), signals);
  Bytes text = out.take_memory();
  return bytes_from(ByteSpan(text));
}

}  // namespace zelk::py
