#include "zelk-base/error.h"

#include <cinttypes>
#include <cstring>

#include "zelk-base/text.h"

namespace zelk {

namespace {

const char* family_prefix(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Rans: return kRansPrefix;
    case ErrorKind::NameCodec: return kNamePrefix;
    case ErrorKind::SequenceCodec: return kSequencePrefix;
    case ErrorKind::QualityCodec: return kQualityPrefix;
    case ErrorKind::ReorderCodec: return kReorderPrefix;
    default: return "malformed zelk block: ";
  }
}

}  // namespace

ArchiveError ArchiveError::io(std::string os_message) {
  return {ErrorKind::Io, std::move(os_message)};
}

ArchiveError ArchiveError::io_errno(int errnum) {
  return io(std::strerror(errnum));
}

ArchiveError ArchiveError::bad_magic() {
  return {ErrorKind::BadMagic, "not an zelk container (bad magic)"};
}

ArchiveError ArchiveError::unsupported_version(uint8_t major, uint8_t minor) {
  return {ErrorKind::UnsupportedVersion,
          strprintf("unsupported zelk format version %u.%u (this build reads 1.x)",
                    major, minor)};
}

ArchiveError ArchiveError::unsupported_features(uint64_t bits) {
  return {ErrorKind::UnsupportedFeatures,
          strprintf("zelk archive requires unsupported features (bits 0x%" PRIx64 "); upgrade zelk",
                    bits)};
}

ArchiveError ArchiveError::unsupported_critical_extension(uint8_t tag) {
  return {ErrorKind::UnsupportedCriticalExtension,
          strprintf("zelk archive has an unsupported critical header extension "
                    "(tag 0x%x); upgrade zelk",
                    tag)};
}

ArchiveError ArchiveError::unsupported_flags(uint8_t bits) {
  return {ErrorKind::UnsupportedFlags,
          strprintf("zelk archive uses unsupported header flags (bits 0x%x); upgrade zelk", bits)};
}

ArchiveError ArchiveError::unsupported_codec(std::string stream, uint8_t tag) {
  return {ErrorKind::UnsupportedCodec,
          strprintf("unsupported zelk %s codec method %u; upgrade zelk", stream.c_str(), tag)};
}

ArchiveError ArchiveError::truncated() {
  return {ErrorKind::Truncated, "truncated zelk stream"};
}

ArchiveError ArchiveError::interrupted() {
  return {ErrorKind::Interrupted, "interrupted"};
}

ArchiveError ArchiveError::corrupt(std::string what) {
  return {ErrorKind::Corrupt, "corrupted zelk data: " + what + " (crc mismatch)"};
}

ArchiveError ArchiveError::malformed(std::string description) {
  return {ErrorKind::Malformed, "malformed zelk block: " + description};
}

ArchiveError ArchiveError::invalid_fastq(uint64_t sequence_len, uint64_t quality_len) {
  return {ErrorKind::InvalidFastq,
          strprintf("invalid FASTQ: sequence length %" PRIu64 " but quality length %" PRIu64
                    " (must be equal)",
                    sequence_len, quality_len)};
}

ArchiveError ArchiveError::codec(ErrorKind kind, std::string message) {
  return {kind, std::move(message)};
}

ArchiveError ArchiveError::invalid_argument(std::string message) {
  return {ErrorKind::InvalidArgument, std::move(message)};
}

ArchiveError ArchiveError::malformed_stream(ErrorKind kind, std::string_view detail) {
  std::string message = family_prefix(kind);
  message += detail;
  return {kind, std::move(message)};
}

ArchiveError ArchiveError::length_mismatch(ErrorKind kind, std::string_view what,
                                           uint64_t lengths_total, uint64_t bytes) {
  return {kind, strprintf("read lengths (%" PRIu64 ") do not match %.*s bytes (%" PRIu64 ")",
                          lengths_total, static_cast<int>(what.size()), what.data(), bytes)};
}

}  // namespace zelk
