// CRC-32C (Castagnoli, reflected 0x82F63B78): the checksum of every stored
// byte range in the container.
#pragma once

#include <cstdint>

#include "zelk-base/bytes.h"
#include "zelk-base/error.h"

namespace zelk {

class BufferedReader;
class WorkerPool;

// CRC-32C of `data`; the hardware instruction when the CPU has it.
uint32_t crc32c(ByteSpan data);
// Continues a CRC: crc32c_extend(crc32c(A), B) == crc32c(A‖B).
uint32_t crc32c_extend(uint32_t crc, ByteSpan data);

// The two implementations behind crc32c, exposed so they can be compared.
uint32_t crc32c_extend_table(uint32_t crc, ByteSpan data);
uint32_t crc32c_extend_hardware(uint32_t crc, ByteSpan data);
bool crc32c_hardware_available();

// CRC of A‖B from crc(A), crc(B) and len(B).
uint32_t crc32c_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b);

inline constexpr uint64_t kWholeFileCrcChunk = 1 << 20;

// CRC-32C of the first `covered_length` bytes of the reader's source. Up to
// 1 MiB is read and checksummed in one piece (`pool` may then be null);
// longer ranges go in 1 MiB chunks, pool-size at a time, checksummed in
// parallel on `pool`.
Result<uint32_t> whole_file_crc(BufferedReader& reader, uint64_t covered_length,
                                WorkerPool* pool);

}  // namespace zelk
