"""Sequence streams: method-0 round trips on real reads, an independent
model of the base decoder, and the error texts of hand-made bad streams."""

import random

import pytest

import _zelk
import _zelk_writer as writer
from coding import varint

SHORT_READS = "illumina/nextseq_dropseq_10cells.fastq"
LONG_READS = "ont/dna_nanoget_SRR5665597.fastq"


def method0(order=1, hashed_order=0, table_bits=0, lengths=(), constant=None, exceptions=(), coded=b""):
    """A method-0 stream from its parts; `constant` = (count, length) picks
    the constant-length mode, `exceptions` are (delta, value) pairs."""
    if constant is None:
        length_list = varint(len(lengths)) + b"\x00" + b"".join(varint(n) for n in lengths)
    else:
        count, length = constant
        length_list = varint(count) + b"\x01" + (varint(length) if count else b"")
    exception_list = varint(len(exceptions)) + b"".join(varint(d) + bytes([v]) for d, v in exceptions)
    return bytes([0, 1, order, hashed_order, table_bits]) + length_list + exception_list + coded


# An independent model of the decoder, written from the format's rules, for
# checking the compiled decoder on arbitrary coded bytes.

class ReferenceRangeDecoder:
    def __init__(self, data):
        self.data, self.pos = data, 0
        self.low, self.range, self.code = 0, 0xFFFFFFFF, 0
        for _ in range(4):
            self.code = (self.code << 8 | self.next_byte()) & 0xFFFFFFFF

    def next_byte(self):
        byte = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return byte

    def decode(self, counts):
        r = self.range // sum(counts)
        target = ((self.code - self.low) & 0xFFFFFFFF) // r
        symbol, cumulative = 0, 0
        while symbol < len(counts) - 1 and target >= cumulative + counts[symbol]:
            cumulative += counts[symbol]
            symbol += 1
        self.low = (self.low + r * cumulative) & 0xFFFFFFFF
        self.range = r * counts[symbol]
        while True:
            if self.low ^ ((self.low + self.range) & 0xFFFFFFFF) >= 1 << 24:
                if self.range >= 1 << 16:
                    break
                self.range = -self.low & 0xFFFF
            self.code = (self.code << 8 | self.next_byte()) & 0xFFFFFFFF
            self.low = (self.low << 8) & 0xFFFFFFFF
            self.range = (self.range << 8) & 0xFFFFFFFF
        update(counts, symbol)
        return symbol


def update(counts, symbol):
    counts[symbol] += 16
    if sum(counts) > 8192:
        counts[:] = [(c + 1) // 2 for c in counts]


def reference_bases(order, hashed_order, table_bits, total, coded):
    low_order = max(1, order // 2)
    order_k = [[1] * 5 for _ in range(4**order)]
    low = [[1] * 5 for _ in range(4**low_order)]
    hashed_active = table_bits != 0 and hashed_order > order
    hashed = [[0, [1] * 5] for _ in range(1 << table_bits)] if hashed_active else None
    history_mask = (1 << (2 * (hashed_order if hashed_active else order))) - 1
    decoder = ReferenceRangeDecoder(coded)
    history, out = 0, bytearray()
    for _ in range(total):
        k_model = order_k[history & (4**order - 1)]
        low_model = low[history & (4**low_order - 1)]
        entry = None
        if hashed_active:
            key = history & history_mask
            entry = hashed[(key * 0x9E3779B97F4A7C15 % 2**64) >> (64 - table_bits)]
            check = ((key % 2**32) * 0x6659FD93 % 2**32) | 1
            if entry[0] != check:
                entry[0], entry[1] = check, [1] * 5
        if entry is not None and sum(entry[1]) > 68:
            symbol = decoder.decode(entry[1])
            others = [k_model, low_model]
        else:
            coder, other = (k_model, low_model) if sum(k_model) > 68 else (low_model, k_model)
            symbol = decoder.decode(coder)
            others = [other] + ([entry[1]] if entry is not None else [])
        for model in others:
            update(model, symbol)
        out += b"ACGTN"[symbol : symbol + 1]
        if symbol < 4:
            history = ((history << 2) + symbol) & history_mask
    return bytes(out)


def decoded_bases(stream):
    return b"".join(_zelk.decode_sequences_bytes(stream))


# Round trips on real reads.

def mixed_reads(records):
    """Real reads with N runs, lower case, IUPAC codes and empty reads mixed in."""
    reads = [sequence for _, sequence, _ in records]
    rng = random.Random(7)
    for i in range(0, len(reads), 5):
        read = bytearray(reads[i])
        for _ in range(3):
            at = rng.randrange(len(read) + 1)
            read[at:at] = rng.choice([b"N", b"NNNN", b"acgt", b"R", b"y", b"n"])
        reads[i] = bytes(read)
    for i in range(3, len(reads), 17):
        reads[i] = b""
    return [b""] + reads + [b""]


_loaded = {}


def reads_of_size(shared_fastq, path, bases):
    """Leading reads of `path` holding at least `bases` bases."""
    if path not in _loaded:
        _loaded[path] = shared_fastq(path, limit=60000)
    records, total = [], 0
    for record in _loaded[path]:
        records.append(record)
        total += len(record[1])
        if total >= bases:
            return records
    pytest.skip(f"{path} holds fewer than {bases} bases")


@pytest.mark.parametrize("path", [SHORT_READS, LONG_READS])
@pytest.mark.parametrize("hashed", [False, True], ids=["order-k", "hashed"])
@pytest.mark.parametrize("order", range(1, 12))
def test_round_trip_real_reads(shared_fastq, path, order, hashed):
    # Headroom for the reads that mixed_reads empties.
    reads = mixed_reads(reads_of_size(shared_fastq, path, max(4**order, 200_000) * 5 // 4))
    total = sum(map(len, reads))
    params = {"order": order}
    if hashed:
        params.update(hashed_order=min(order + 6, 24), table_bits=min(total.bit_length() - 1, 18))
    stream = writer.encode_sequences(reads, **params)
    assert _zelk.decode_sequences_bytes(stream) == reads


@pytest.mark.parametrize("path", [SHORT_READS, LONG_READS, "pacbio/ccs_sequel_dada2_16s.fastq"])
def test_default_parameters_compress_real_reads(shared_fastq, path):
    reads = [sequence for _, sequence, _ in reads_of_size(shared_fastq, path, 300_000)]
    stream = writer.encode_sequences(reads)
    assert _zelk.decode_sequences_bytes(stream) == reads
    # Far below the 8 bits of a plain byte per base.
    assert len(stream) * 8 < 2.2 * sum(map(len, reads))


@pytest.mark.parametrize(
    "reads",
    [[], [b""], [b"", b""], [b"A"], [b"N" * 300], [b"acgtn" * 40], [b"ACGT" * 30] * 20, [bytes(range(256))] * 3],
    ids=["none", "one-empty", "two-empty", "one-base", "all-N", "lower-case", "constant-length", "every-byte"],
)
def test_round_trip_edge_reads(reads):
    assert _zelk.decode_sequences_bytes(writer.encode_sequences(reads)) == reads


@pytest.mark.parametrize("length", [2**18, 2**18 + 1, 1_000_000])
def test_run_of_the_first_symbol_meets_the_capacity_rule(length):
    # Such a run codes as zero bytes only, which the encoder would drop,
    # leaving more bases than the decoder accepts for the bytes left.
    reads = [b"A" * length]
    assert _zelk.decode_sequences_bytes(writer.encode_sequences(reads, order=2)) == reads


def test_constant_and_per_read_length_modes():
    same = writer.encode_sequences([b"ACGT"] * 5, order=1)
    mixed = writer.encode_sequences([b"ACGT"] * 4 + [b"ACG"], order=1)
    assert same[5:8] == varint(5) + b"\x01" + varint(4)
    assert mixed[5:7] == varint(5) + b"\x00"


def test_only_bytes_the_model_cannot_express_become_exceptions():
    # "N" codes as symbol 4; lower case and other bytes go to the list.
    stream = writer.encode_sequences([b"ANa", b"GyT"], order=1)
    assert stream[5:].startswith(varint(2) + b"\x01" + varint(3) + varint(2) + varint(2) + b"a" + varint(2) + b"y")


# The compiled decoder against the independent model.

@pytest.mark.parametrize(
    "order, hashed_order, table_bits",
    [(1, 0, 0), (2, 0, 0), (4, 0, 0), (3, 9, 6), (1, 8, 2), (2, 24, 10), (5, 3, 8)],
    ids=["m1", "m2", "m4", "hashed", "colliding-hashed", "long-hashed", "inactive-tier"],
)
def test_decoder_matches_reference_on_random_coded_bytes(order, hashed_order, table_bits):
    rng = random.Random(order * 1000 + hashed_order * 10 + table_bits)
    total = 3000
    coded = bytes(rng.randrange(256) for _ in range(400))
    stream = method0(order, hashed_order, table_bits, constant=(3, total // 3), coded=coded)
    assert decoded_bases(stream) == reference_bases(order, hashed_order, table_bits, total, coded)


def test_decoder_matches_reference_on_encoded_reads():
    rng = random.Random(3)
    reads = [bytes(rng.choice(b"ACGTTTN") for _ in range(rng.randrange(80))) for _ in range(60)]
    stream = writer.encode_sequences(reads, order=3, hashed_order=7, table_bits=5)
    # No byte needs an exception, so the coded bases follow an empty list.
    prefix = method0(3, 7, 5, lengths=[len(read) for read in reads])
    assert stream.startswith(prefix)
    coded = stream[len(prefix) :]
    assert reference_bases(3, 7, 5, sum(map(len, reads)), coded) == b"".join(reads)


@pytest.mark.parametrize("coded", [b"", b"\x9a", b"\x9a\x31", b"\xff\x00\x7e"], ids=["0", "1", "2", "3"])
def test_coded_input_of_few_bytes(coded):
    # Missing bytes read as zeros, both at start-up and after.
    stream = method0(order=2, constant=(1, 500), coded=coded)
    assert decoded_bases(stream) == reference_bases(2, 0, 0, 500, coded)


# The bare range coder with each adaptive model.

MODELS = {"base5": 5, "freq4": 4, "freq5": 5}


@pytest.mark.parametrize("model", MODELS)
def test_range_decoder_matches_reference_on_random_bytes(model):
    rng = random.Random(len(model) + MODELS[model])
    coded = bytes(rng.randrange(256) for _ in range(300))
    reference = ReferenceRangeDecoder(coded)
    counts = [1] * MODELS[model]
    expected = bytes(reference.decode(counts) for _ in range(2000))
    assert writer.range_decode(coded, 2000, model=model) == expected


@pytest.mark.parametrize("model", MODELS)
@pytest.mark.parametrize("shape", ["uniform", "one-symbol-runs", "skewed"])
def test_range_coder_round_trip(model, shape):
    rng = random.Random(11)
    k = MODELS[model]
    if shape == "uniform":
        symbols = [rng.randrange(k) for _ in range(20000)]
    elif shape == "one-symbol-runs":
        # Long runs push one count to the rescale limit again and again.
        symbols = [s for s in range(k) for _ in range(3000)] * 2
    else:
        symbols = [min(int(rng.expovariate(2.0)), k - 1) for _ in range(20000)]
    coded = writer.range_encode(bytes(symbols), model=model)
    assert writer.range_decode(coded, len(symbols), model=model) == bytes(symbols)


# Exceptions and length lists.

def test_exceptions_at_the_last_position_and_repeated():
    last = method0(lengths=[3, 3], exceptions=[(5, ord("x"))])
    assert decoded_bases(last)[5:] == b"x"
    twice = method0(lengths=[8], exceptions=[(5, ord("p")), (0, ord("q"))])
    assert decoded_bases(twice)[5:6] == b"q"


def test_constant_mode_with_no_reads_reads_no_length():
    # A length would swallow the exception count and leave the list cut off.
    assert _zelk.decode_sequences_bytes(method0(constant=(0, 0))) == []


def test_per_read_lengths_split_the_bases():
    reads = _zelk.decode_sequences_bytes(method0(lengths=[2, 0, 5], coded=b"\x12\x34"))
    assert [len(read) for read in reads] == [2, 0, 5]


# Error texts.

SEQ = "malformed sequence stream: "


@pytest.mark.parametrize(
    "stream, message",
    [
        (b"", "malformed zelk block: empty sequence stream"),
        (b"\x02", "malformed zelk block: shared-reference sequence block but no reference frame in the archive"),
        (b"\x05\x01", "unsupported zelk sequence codec method 5; upgrade zelk"),
        (b"\x00", SEQ + "truncated stream"),
        (b"\x00\x02\x01\x00\x00", SEQ + "unsupported version"),
        (b"\x00\x01", SEQ + "truncated stream"),
        (b"\x00\x01\x00\x00\x00", SEQ + "order out of range"),
        (b"\x00\x01\x0c\x00\x00", SEQ + "order out of range"),
        (b"\x00\x01\x01\x00", SEQ + "truncated stream"),
        (b"\x00\x01\x02\x19\x04", SEQ + "hashed-tier params out of range"),
        (b"\x00\x01\x02\x05\x1b", SEQ + "hashed-tier params out of range"),
        (b"\x00\x01\x01\x00\x00" + b"\xff" * 10, SEQ + "varint too long"),
        (b"\x00\x01\x01\x00\x00\x03", SEQ + "truncated stream"),
        (b"\x00\x01\x01\x00\x00\x02\x00\x05", SEQ + "varint too long"),
        (b"\x00\x01\x01\x00\x00" + varint(2**28 + 1) + b"\x01", SEQ + "length count too large to allocate"),
        (method0(lengths=[1])[:-1] + b"\x02" + varint(2**63) + b"A" + varint(2**63) + b"C",
         SEQ + "exception position overflows"),
        (method0(lengths=[1])[:-1] + b"\x01\x00", SEQ + "truncated stream"),
        (method0(constant=(1, 2**18 + 1)), SEQ + "declared length exceeds payload capacity"),
        (method0(order=11, constant=(1000, 4000), coded=bytes(16)), SEQ + "order-k table exceeds declared length"),
        (method0(order=1, hashed_order=2, table_bits=5, lengths=[31]), SEQ + "hashed-tier table exceeds declared length"),
        (method0(lengths=[3, 2], exceptions=[(5, 65)]), SEQ + "exception out of range"),
    ],
    ids=[
        "empty", "method-2-no-reference", "method-5", "method-byte-only", "version", "version-only",
        "order-0", "order-12", "header-3-bytes", "hashed-order-25", "table-bits-27", "count-varint",
        "mode-byte", "length-varint", "constant-count", "exception-overflow", "exception-value",
        "capacity", "order-k-table", "hashed-table", "exception-past-end",
    ],
)
def test_bad_streams_report_their_text(stream, message):
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decode_sequences_bytes(stream)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "stream, total",
    [
        (method0(constant=(1, 2**18), coded=b""), 2**18),
        (method0(constant=(1, 2**19), coded=b"\x00"), 2**19),
        (method0(order=1, lengths=[]), 0),
        (method0(order=1, hashed_order=2, table_bits=5, lengths=[32]), 32),
        (method0(order=3, hashed_order=3, table_bits=30, lengths=[64]), 64),
        (method0(order=3, hashed_order=40, table_bits=0, lengths=[64]), 64),
    ],
    ids=["capacity-limit", "capacity-one-byte", "order-1-no-bases", "hashed-table-limit",
         "short-tier-ignored", "tableless-tier-ignored"],
)
def test_streams_at_the_limits_decode(stream, total):
    assert len(decoded_bases(stream)) == total


@pytest.mark.parametrize(
    "params, message",
    [
        ({"order": 0}, "order out of range"),
        ({"order": 11}, "order-k table exceeds declared length"),
        ({"order": 2, "hashed_order": 30, "table_bits": 4}, "hashed-tier params out of range"),
        ({"order": 2, "hashed_order": 8, "table_bits": 12}, "hashed-tier table exceeds declared length"),
    ],
)
def test_encoder_refuses_undecodable_parameters(params, message):
    with pytest.raises(_zelk.ZelkError, match=f"^{SEQ}{message}$"):
        writer.encode_sequences([b"ACGT" * 100], **params)
