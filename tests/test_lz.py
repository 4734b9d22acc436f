"""Reference LZ sequence streams (method 3): round trips of the encoder on
real and adversarial reads, the compiled decoder against an independent
model on arbitrary coded bytes, and the error texts of hand-made streams."""

import random

import pytest

import _zelk
import _zelk_writer as writer
from coding import varint
from lz_reference import DecodeError, reflzma_decode

SHORT_READS = "illumina/hiseqx_seqkit_10k.fastq"
AMPLICONS = "illumina/miseq_dada2_sam1_R1.fastq"
LONG_READS = "ont/dna_nanoget_SRR5665597.fastq"
PREFIX = "malformed sequence stream: "


def stream(lengths, coded, n_bases=None):
    """A method-3 stream from its parts; `n_bases` defaults to the lengths' sum."""
    total = sum(lengths) if n_bases is None else n_bases
    return b"\x03" + varint(len(lengths)) + b"".join(varint(n) for n in lengths) + varint(total) + coded


def read_varint(data, pos):
    value, shift = 0, 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


def coded_part(encoded):
    """The coded bytes of a stream the encoder wrote."""
    count, pos = read_varint(encoded, 1)
    for _ in range(count + 1):  # the lengths, then the base count
        _, pos = read_varint(encoded, pos)
    return encoded[pos:]


def round_trip(reads):
    encoded = writer.encode_sequences(reads, method=3)
    assert encoded[0] == 3
    assert _zelk.decode_sequences_bytes(encoded) == reads
    return encoded


def random_bases(rng, n, alphabet=b"ACGT"):
    return bytes(rng.choice(alphabet) for _ in range(n))


# Round trips.

@pytest.mark.parametrize("path, count", [(SHORT_READS, 3000), (AMPLICONS, 1500), (LONG_READS, 40)])
def test_round_trip_real_reads(shared_fastq, path, count):
    reads = [sequence for _, sequence, _ in shared_fastq(path, limit=count)]
    round_trip(reads)


def test_amplicon_repeats_code_below_half_a_bit_per_base(shared_fastq):
    # Amplicons repeat each other, which the LZ coder turns into matches.
    reads = [sequence for _, sequence, _ in shared_fastq(AMPLICONS, limit=1500)]
    lz = round_trip(reads)
    assert len(lz) * 8 < 0.5 * sum(map(len, reads))


def test_overlapping_reads_of_one_genome_code_well_below_two_bits():
    rng = random.Random(3)
    genome = random_bases(rng, 20000)
    starts = [rng.randrange(len(genome) - 150) for _ in range(2000)]
    reads = [genome[s : s + 150] for s in starts]
    encoded = round_trip(reads)
    # 15x coverage: most bases are copies.
    assert len(encoded) * 8 < 0.7 * sum(map(len, reads))


@pytest.mark.parametrize(
    "reads",
    [
        [],
        [b""],
        [b"", b"", b""],
        [b"A"],
        [b"A" * 100_000],
        [b"N" * 5000, b"ACGT" * 10, b"N" * 300],
        [b"acgtnRYKMSWbdhv" * 50],
        [bytes(range(256)) * 4],
        [b"AC" * 1000, b"", b"ACG" * 700],
    ],
    ids=["none", "one-empty", "empty-reads", "one-base", "one-base-repeated", "n-runs", "lower-case-iupac",
         "every-byte", "short-periods"],
)
def test_round_trip_edge_reads(reads):
    round_trip(reads)


def test_no_repeats_stay_near_two_bits_per_base():
    rng = random.Random(5)
    reads = [random_bases(rng, 1000) for _ in range(60)]
    encoded = round_trip(reads)
    assert len(encoded) * 8 < 2.4 * 60_000


def test_one_base_repeated_codes_to_almost_nothing():
    reads = [b"G" * 3_000_000]
    encoded = round_trip(reads)
    assert len(encoded) < 3_000_000 // 1000


def test_copy_reaching_back_to_the_first_base():
    rng = random.Random(11)
    first = random_bases(rng, 300)
    reads = [first, random_bases(rng, 200_000), first]
    encoded = round_trip(reads)
    without_repeat = writer.encode_sequences(reads[:2] + [b""], method=3)
    # The repeat (at the farthest distance, back to the first base) costs a
    # few bytes, not 300 bases' worth.
    assert len(encoded) - len(without_repeat) < 16


def test_mismatches_inside_a_copy():
    rng = random.Random(13)
    read = bytearray(random_bases(rng, 5000))
    copy = bytearray(read)
    for at in rng.sample(range(len(copy)), 40):
        copy[at] = ord("ACGTN"[(b"ACGTN".index(copy[at]) + 1) % 5])
    round_trip([bytes(read), bytes(copy)])


# The compiled decoder against the independent model.

def decode_both(lengths, coded, n_bases):
    try:
        expected = reflzma_decode(coded, n_bases), None
    except DecodeError as error:
        expected = None, PREFIX + str(error)
    try:
        got = b"".join(_zelk.decode_sequences_bytes(stream(lengths, coded, n_bases))), None
    except _zelk.ZelkError as error:
        got = None, str(error)
    return expected, got


@pytest.mark.parametrize("seed", range(40))
def test_decoder_matches_the_model_on_arbitrary_bytes(seed):
    rng = random.Random(seed)
    n = rng.randrange(1, 400)
    coded = bytes(rng.randrange(256) for _ in range(rng.randrange(0, 60)))
    # Low bytes make literals likely, so decodes get past the first packets.
    if seed % 2:
        coded = bytes(b & 0x3F for b in coded)
    expected, got = decode_both([n], coded, n)
    assert got == expected


@pytest.mark.parametrize("seed", range(6))
def test_decoder_matches_the_model_on_encoder_output(seed):
    rng = random.Random(100 + seed)
    genome = random_bases(rng, 600, b"ACGTN" if seed % 2 else b"ACGT")
    reads = [genome[s : s + 60] for s in (rng.randrange(540) for _ in range(60))]
    encoded = writer.encode_sequences(reads, method=3)
    assert reflzma_decode(coded_part(encoded), 3600) == b"".join(reads)


def test_decoder_matches_the_model_on_long_copies_and_far_distances():
    rng = random.Random(17)
    far = random_bases(rng, 40)
    data = far + random_bases(rng, 3000) + far + b"T" * 700 + far
    encoded = writer.encode_sequences([data], method=3)
    assert reflzma_decode(coded_part(encoded), len(data)) == data


# Edge cases and errors.

def test_no_bases_decode_without_reading_coded_data():
    assert _zelk.decode_sequences_bytes(stream([], b"")) == []
    assert _zelk.decode_sequences_bytes(stream([], b"\xff" * 8)) == []
    assert _zelk.decode_sequences_bytes(stream([0, 0], b"")) == [b"", b""]


def test_short_copy_repeats_a_single_literal():
    # One literal, then a rep match of length 10 at distance 0.
    coded = coded_part(writer.encode_sequences([b"C" * 11], method=3))
    assert reflzma_decode(coded, 11) == b"C" * 11
    assert _zelk.decode_sequences_bytes(stream([11], coded)) == [b"C" * 11]


def expect_error(data, message):
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decode_sequences_bytes(data)
    assert str(raised.value) == PREFIX + message


def test_match_at_the_first_position_reaches_before_the_start():
    # A high first code decodes a match before any literal.
    expect_error(stream([5], b"\xff" * 8), "reflzma: distance past output")


def test_match_past_the_declared_length():
    # Coded for 40 bases: a literal, then one long repeat.
    coded = coded_part(writer.encode_sequences([b"A" * 40], method=3))
    expect_error(stream([5], coded), "reflzma: match past end")


def test_lengths_must_sum_to_the_base_count():
    coded = coded_part(writer.encode_sequences([b"ACGTACGGTA"], method=3))
    expect_error(stream([9], coded, n_bases=10), "reflzma: block length/seq disagreement")
    assert _zelk.decode_sequences_bytes(stream([4, 6], coded)) == [b"ACGT", b"ACGGTA"]


@pytest.mark.parametrize(
    "data, message",
    [
        (b"\x03", "reflzma: bad contig count"),
        (b"\x03\x80", "reflzma: bad contig count"),
        (b"\x03\x01", "reflzma: bad contig len"),
        (b"\x03\x02\x05\xff", "reflzma: bad contig len"),
        (b"\x03\x01\x05", "reflzma: bad n_bases"),
        (b"\x03\x01\x05\x85", "reflzma: bad n_bases"),
        (b"\x03" + b"\xff" * 10 + b"\x01", "reflzma: bad contig count"),
    ],
    ids=["empty", "cut-count", "no-length", "cut-length", "no-total", "cut-total", "eleven-byte-count"],
)
def test_bad_varints(data, message):
    expect_error(data, message)


def test_contig_count_is_bounded_by_the_stream_length():
    # Three bytes in all: a count of 3 passes, 4 fails before any length.
    expect_error(b"\x03\x03\x00", "reflzma: bad contig len")
    expect_error(b"\x03\x04\x00", "reflzma: implausible contig count")


def test_declared_length_is_bounded_by_the_payload():
    # The payload: count, one length and the total (3 + 3 bytes), and 2 coded bytes.
    capacity = 8 * 2**18 + 2**18
    body = varint(1) + varint(1) + varint(capacity + 1) + b"\x00\x00"
    assert len(body) == 8
    expect_error(b"\x03" + body, "reflzma: declared length exceeds capacity")
    # At the bound (of a longer payload) the bases decode.
    fits = varint(1) + varint(capacity) + varint(capacity) + b"\x00\x00"
    assert len(b"".join(_zelk.decode_sequences_bytes(b"\x03" + fits))) == capacity


def test_coded_data_that_ends_early_reads_zeros():
    encoded = writer.encode_sequences([b"ACGTTGCA" * 20], method=3)
    coded = coded_part(encoded)
    expected, got = decode_both([160], coded[: len(coded) // 2], 160)
    assert got == expected


def test_archive_with_method3_blocks(shared_fastq):
    records = shared_fastq(SHORT_READS, limit=900)
    archive = writer.write_archive(records, block_reads=400, sequence_method=3)
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == records
    assert _zelk.read_sequences(archive, [1]) == [sequence for _, sequence, _ in records[400:800]]
    _zelk.verify(archive)
