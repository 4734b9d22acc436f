// The library's single error type and the Result<T> every fallible
// operation returns. Nothing in the core throws across a function boundary.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <utility>

namespace zelk {

enum class ErrorKind : uint8_t {
  Io,
  BadMagic,
  UnsupportedVersion,
  UnsupportedFeatures,
  UnsupportedCriticalExtension,
  UnsupportedFlags,
  UnsupportedCodec,
  Truncated,
  Corrupt,
  Malformed,
  InvalidFastq,
  NameCodec,
  SequenceCodec,
  QualityCodec,
  ReorderCodec,
  OverlapCodec,
  Rans,
  InvalidArgument,  // a caller's mistake: an option or record that cannot be stored
  Interrupted,      // the caller asked the operation to stop
};

// Message prefixes of the codec families; a codec's fixed detail text
// follows them.
inline constexpr const char* kRansPrefix = "malformed rANS stream: ";
inline constexpr const char* kNamePrefix = "malformed name stream: ";
inline constexpr const char* kSequencePrefix = "malformed sequence stream: ";
inline constexpr const char* kQualityPrefix = "malformed fqzcomp stream: ";
inline constexpr const char* kReorderPrefix = "malformed clustered stream: ";

class ArchiveError {
 public:
  // The operating system's description of a failed I/O call.
  static ArchiveError io(std::string os_message);
  static ArchiveError io_errno(int errnum);
  static ArchiveError bad_magic();
  static ArchiveError unsupported_version(uint8_t major, uint8_t minor);
  static ArchiveError unsupported_features(uint64_t bits);
  static ArchiveError unsupported_critical_extension(uint8_t tag);
  static ArchiveError unsupported_flags(uint8_t bits);
  // `stream` is the lowercase stream name ("sequence").
  static ArchiveError unsupported_codec(std::string stream, uint8_t tag);
  static ArchiveError truncated();
  static ArchiveError interrupted();
  static ArchiveError corrupt(std::string what);
  static ArchiveError malformed(std::string description);
  static ArchiveError invalid_fastq(uint64_t sequence_len, uint64_t quality_len);
  // A writer option or record the format cannot store; the text is shown as is.
  static ArchiveError invalid_argument(std::string message);
  // A codec family error: `kind` is one of the codec kinds and `message`
  // the whole text the user sees (prefix included).
  static ArchiveError codec(ErrorKind kind, std::string message);
  // "{prefix}{detail}" for the family of `kind`.
  static ArchiveError malformed_stream(ErrorKind kind, std::string_view detail);
  // "read lengths ({a}) do not match {what} bytes ({b})".
  static ArchiveError length_mismatch(ErrorKind kind, std::string_view what,
                                      uint64_t lengths_total, uint64_t bytes);

  ErrorKind kind() const { return kind_; }
  // The text shown to the user.
  const std::string& message() const { return message_; }

  // The same failure reported under another codec family, keeping its text
  // (a names stream reports a failed inner rANS block as its own).
  ArchiveError as_kind(ErrorKind kind) && {
    kind_ = kind;
    return std::move(*this);
  }

  bool operator==(const ArchiveError&) const = default;

 private:
  ArchiveError(ErrorKind kind, std::string message)
      : kind_(kind), message_(std::move(message)) {}

  ErrorKind kind_;
  std::string message_;
};

template <class T>
using Result = std::expected<T, ArchiveError>;

inline std::unexpected<ArchiveError> fail(ArchiveError error) {
  return std::unexpected<ArchiveError>(std::move(error));
}

namespace detail {
template <class T>
T take_value(std::expected<T, ArchiveError>&& r) {
  return std::move(*r);
}
inline void take_value(std::expected<void, ArchiveError>&&) {}
}  // namespace detail

}  // namespace zelk

// Evaluates a Result-returning expression; on failure returns its error from
// the enclosing function, otherwise yields the value (nothing for void).
#define ZELK_TRY(expr)                                                     \
  ({                                                                       \
    auto zelk_try_result_ = (expr);                                        \
    if (!zelk_try_result_.has_value())                                     \
      return ::zelk::fail(std::move(zelk_try_result_).error());            \
    ::zelk::detail::take_value(std::move(zelk_try_result_));               \
  })
