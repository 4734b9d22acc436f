import random

import pytest

import _zelk
import _zelk_writer as writer
import quality_reference
from coding import varint

ALL_MODES = [0, 1, 3, 4, 5, 6]
REAL_SETS = {
    "illumina": "illumina/hiseqx_seqkit_10k.fastq",
    "illumina_phred64": "illumina/ga_shortread_s_1_phred64.fastq",
    "nanopore": "ont/dna_qcat_barcode_1k.fastq",
    "pacbio": "pacbio/ccs_sequel_dada2_16s.fastq",
}
PREFIX = "malformed fqzcomp stream: "


def decode(coded, seqs=None):
    return _zelk.decode_qualities_bytes(coded, None if seqs is None else b"".join(seqs))


def round_trip(quals, seqs, **options):
    coded = writer.encode_qualities(quals, seqs=seqs, **options)
    assert decode(coded, seqs) == list(quals)
    return coded


def random_reads(rng, count, symbols, max_length=60):
    quals, seqs = [], []
    for _ in range(count):
        length = rng.randrange(max_length + 1)
        quals.append(bytes(rng.choice(symbols) for _ in range(length)))
        seqs.append(bytes(rng.choice(b"ACGTNacgt") for _ in range(length)))
    return quals, seqs


def real_reads(shared_fastq, name, limit, max_length=None):
    records = shared_fastq(REAL_SETS[name], limit)
    quals = [r[2][:max_length] for r in records]
    seqs = [r[1][:max_length] for r in records]
    return quals, seqs


def header(mode=0, symbols=b"I", binning=0, extra=b""):
    return bytes([2, binning, mode, len(symbols)]) + symbols + extra


def uniform(count, length):
    return varint(count) + b"\x01" + (varint(length) if count else b"")


def listed(lengths):
    return varint(len(lengths)) + b"\x00" + b"".join(varint(n) for n in lengths)


@pytest.mark.parametrize("name", sorted(REAL_SETS))
@pytest.mark.parametrize("mode", ALL_MODES)
def test_real_reads_round_trip_in_every_mode(shared_fastq, name, mode):
    quals, seqs = real_reads(shared_fastq, name, 400)
    round_trip(quals, seqs, mode=mode)


@pytest.mark.parametrize("name", sorted(REAL_SETS))
@pytest.mark.parametrize("mode", ALL_MODES)
def test_decoder_matches_independent_reference(shared_fastq, name, mode):
    quals, seqs = real_reads(shared_fastq, name, 12, max_length=150)
    coded = writer.encode_qualities(quals, seqs=seqs, mode=mode, segments=3)
    joined = b"".join(seqs)
    assert quality_reference.decode(coded, joined) == b"".join(quals)
    assert b"".join(decode(coded, seqs)) == b"".join(quals)


@pytest.mark.parametrize("n", [1, 2, 3, 4, 5, 8, 9, 16, 17, 32, 33, 64, 65, 94])
@pytest.mark.parametrize("mode", [0, 1, 3, 4])
def test_every_alphabet_size_round_trips(n, mode):
    rng = random.Random(n * 10 + mode)
    symbols = bytes(range(33, 33 + n))
    quals, seqs = random_reads(rng, 30, symbols)
    coded = round_trip(quals, seqs, mode=mode, symbols=symbols)
    assert coded[3] == n


@pytest.mark.parametrize("n", [1, 3, 4, 5, 94])  # 3 and 4: the unrolled 4-slot search
def test_alphabet_sizes_match_reference(n):
    rng = random.Random(n)
    symbols = bytes(range(33, 33 + n))
    quals, seqs = random_reads(rng, 6, symbols, max_length=40)
    for mode in (0, 3):
        coded = writer.encode_qualities(quals, seqs=seqs, mode=mode, symbols=symbols)
        assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)


@pytest.mark.parametrize("n", [8, 16, 32, 64, 94])
@pytest.mark.parametrize("mode", [0, 1])
def test_skewed_and_random_payloads_agree_with_reference(n, mode):
    # Most qualities at the top of the table, as long-read runs have them, so
    # the slot search reaches the last slots; random payloads then reach coder
    # states no encoder makes (a value past every bound takes the last slot).
    rng = random.Random(n * 2 + mode)
    symbols = bytes(range(33, 33 + n))
    weights = [1] * (n - 1) + [20 * n]
    quals = [bytes(rng.choices(symbols, weights, k=rng.randrange(80))) for _ in range(40)]
    seqs = [bytes(rng.choice(b"ACGT") for _ in quality) for quality in quals]
    coded = round_trip(quals, seqs, mode=mode, symbols=symbols)
    assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)
    lengths = listed([len(quality) for quality in quals])
    for _ in range(4):
        stream = header(mode, symbols) + lengths + rng.randbytes(rng.randrange(1, 400))
        assert b"".join(decode(stream, seqs)) == quality_reference.decode(stream, b"".join(seqs))


# Non-ascending orders make offset qualities wrap modulo 256.
@pytest.mark.parametrize("order", ["descending", "shuffled", "wrapping"])
@pytest.mark.parametrize("mode", ALL_MODES)
def test_non_ascending_symbol_tables(order, mode):
    rng = random.Random(7)
    base = bytes(range(35, 75))
    symbols = {"descending": base[::-1], "shuffled": bytes(rng.sample(base, len(base))),
               "wrapping": base[20:] + base[:20]}[order]
    quals, seqs = random_reads(rng, 40, symbols)
    coded = round_trip(quals, seqs, mode=mode, symbols=symbols)
    assert coded[4:4 + len(symbols)] == symbols
    assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)


@pytest.mark.parametrize("mode", [4, 6])
def test_stream_quantizer_pairs(mode):
    rng = random.Random(3)
    symbols = bytes(range(40, 72))
    pairs = bytes(rng.randrange(256) for _ in range(2 * len(symbols)))
    quals, seqs = random_reads(rng, 30, symbols)
    coded = round_trip(quals, seqs, mode=mode, symbols=symbols, quantizer=pairs)
    assert quality_reference.decode(coded, b"".join(seqs)) == b"".join(quals)


@pytest.mark.parametrize("mode", ALL_MODES)
@pytest.mark.parametrize("seq", [None, b""])
def test_zero_reads(mode, seq):
    coded = writer.encode_qualities([], seqs=[], mode=mode)
    assert _zelk.decode_qualities_bytes(coded, seq) == []


@pytest.mark.parametrize("mode", ALL_MODES)
def test_reads_of_length_zero(mode):
    quals = [b"", b"ABC", b"", b"", b"DD", b""]
    seqs = [b"", b"ACG", b"", b"", b"TT", b""]
    round_trip(quals, seqs, mode=mode, segments=3, warmup=1)


def test_uniform_lengths_without_reads_carry_no_length():
    assert decode(header() + uniform(0, 0)) == []
    assert decode(header() + listed([])) == []


@pytest.mark.parametrize("mode", [1, 3, 5])
def test_sequence_modes_decode_without_bases_only_when_empty(mode):
    coded = writer.encode_qualities([b"", b""], seqs=[b"", b""], mode=mode)
    assert decode(coded) == [b"", b""]
    coded = writer.encode_qualities([b"II"], seqs=[b"AC"], mode=mode)
    with pytest.raises(_zelk.ZelkError, match="^" + PREFIX + "sequence context requires the decoded sequence$"):
        decode(coded)
    with pytest.raises(_zelk.ZelkError, match="sequence context requires the decoded sequence"):
        _zelk.decode_qualities_bytes(coded, b"ACG")


def test_one_symbol_alphabet_needs_no_payload():
    assert decode(header() + uniform(3, 4)) == [b"IIII"] * 3


# A payload shorter than four bytes decodes as if padded with zeros.
@pytest.mark.parametrize("mode", [0, 3])
@pytest.mark.parametrize("keep", [0, 1, 2, 3])
def test_short_payload_reads_as_zero_padded(mode, keep):
    quals, seqs = [b"ABCDDCBA", b"DDAB"], [b"ACGTACGT", b"TTGA"]
    coded = writer.encode_qualities(quals, seqs=seqs, mode=mode, symbols=b"ABCD")
    prefix = header(mode, b"ABCD") + listed([8, 4])
    assert coded.startswith(prefix)
    short = coded[:len(prefix) + keep]
    assert decode(short, seqs) == decode(short + bytes(4 - keep), seqs)
    assert b"".join(decode(short, seqs)) == quality_reference.decode(short, b"".join(seqs))


def test_mode_zero_uses_last_position_bucket_from_224():
    rng = random.Random(5)
    quals = [bytes(rng.choice(b"#+5?I") for _ in range(300)) for _ in range(3)]
    coded = round_trip(quals, None, mode=0)
    assert quality_reference.decode(coded, None) == b"".join(quals)


@pytest.mark.parametrize("stream, text", [
    (b"", PREFIX + "truncated header"),
    (b"\x03", PREFIX + "unsupported version"),
    (b"\x02", PREFIX + "truncated header"),
    (b"\x02\x06", PREFIX + "unknown quality-binning tag"),
    (b"\x02\x05", PREFIX + "truncated header"),
    (b"\x02\x00\x02", "unsupported quality context mode 2; this archive needs a newer zelk"),
    (b"\x02\x00\x07", "unsupported quality context mode 7; this archive needs a newer zelk"),
    (b"\x02\x00\xff", "unsupported quality context mode 255; this archive needs a newer zelk"),
    (b"\x02\x00\x00", PREFIX + "truncated header"),
    (b"\x02\x00\x00\x00", "quality alphabet too large (0 > 64 symbols)"),
    (b"\x02\x00\x00\x5f", "quality alphabet too large (95 > 64 symbols)"),
    (b"\x02\x00\x00\x03AB", PREFIX + "truncated header"),
    (b"\x02\x00\x04\x02AB\x00\x00\x00", PREFIX + "truncated header"),
    (header(), PREFIX + "varint too long"),
    (header() + b"\x01", PREFIX + "truncated header"),
    (header() + b"\x01\x01", PREFIX + "varint too long"),
    (header() + b"\x02\x00\x01", PREFIX + "varint too long"),
    (header() + b"\xff" * 10 + b"\x01" + b"\x00", PREFIX + "varint too long"),
    (header() + uniform(2**28 + 1, 1), PREFIX + "length count too large to allocate"),
    (header() + uniform(5, 2**32 - 1), PREFIX + "declared total length exceeds maximum"),
])
def test_header_errors(stream, text):
    with pytest.raises(_zelk.ZelkError) as caught:
        decode(stream)
    assert str(caught.value) == text


def test_lengths_keep_their_low_32_bits():
    assert decode(header() + listed([2**32 + 2, 1])) == [b"II", b"I"]


@pytest.mark.parametrize("stream, seq", [
    # n = 5 leaves slots 5 to 7 of its class empty; a large code lands there.
    (header(0, b"ABCDE") + uniform(1, 1) + b"\xff\xff\xff\xff", None),
    # One symbol: a first decision of 1 names symbol 1.
    (header(3, b"I") + uniform(1, 1) + b"\x00\x00\x00\x00", b"A"),
])
def test_symbol_outside_alphabet(stream, seq):
    with pytest.raises(_zelk.ZelkError, match="^" + PREFIX + "decoded symbol outside alphabet$"):
        _zelk.decode_qualities_bytes(stream, seq)


@pytest.mark.parametrize("coded, needs", [
    (b"", False), (b"\x02\x00\x01", True), (b"\x02\x00\x00", False), (b"\x02\x01", False),
    (b"\x02\x00\x02", True), (b"\x02\x00\x07", True), (b"\x03\x00\x01", False),
])
def test_quality_needs_sequence_bytes(coded, needs):
    assert _zelk.quality_needs_sequence_bytes(coded) is needs


@pytest.mark.parametrize("mode", ALL_MODES)
def test_needs_sequence_agrees_with_mode(mode):
    coded = writer.encode_qualities([b"II"], seqs=[b"AC"], mode=mode)
    assert _zelk.quality_needs_sequence_bytes(coded) is (mode != 0)


def test_argument_types():
    with pytest.raises(TypeError):
        _zelk.decode_qualities_bytes("text")
    with pytest.raises(TypeError):
        _zelk.decode_qualities_bytes(b"", seq="ACGT")
    with pytest.raises(TypeError):
        _zelk.quality_needs_sequence_bytes(bytearray(b"\x02\x00\x01"))


@pytest.mark.parametrize("options, text", [
    ({"mode": 2}, "mode must be"),
    ({"binning": 6}, "binning must be"),
    ({"symbols": b"IA"}, "missing from symbols"),
    ({"symbols": b"II#"}, "distinct"),
    ({"symbols": bytes(range(33, 128))}, "1 to 94"),
    ({"mode": 4, "quantizer": b"\x00"}, "two bytes per symbol"),
    ({"mode": 3, "quantizer": b"\x00\x00\x00\x00"}, "modes 4 and 6"),
    ({"mode": 1, "seqs": None}, "one base per quality byte"),
])
def test_encoder_refuses_what_a_stream_cannot_hold(options, text):
    options = {"seqs": [b"AC"], **options}
    with pytest.raises(ValueError, match=text):
        writer.encode_qualities([b"I#"], **options)
