"""The names codec and the name template: round trips on real and
adversarial names, hand-made streams with known meaning, and every error
text."""

import random
import re
import uuid

import pytest

import _zelk
import _zelk_writer as w
from coding import varint

MATCH, STRING, NUMERIC, DELTA = range(4)


def varints(values):
    """Varints of a list of values; bytes pass through unchanged."""
    if isinstance(values, bytes):
        return values
    return b"".join(varint(v) for v in values)


def coded(data):
    block = w.rans_encode(data, 0)
    return varint(len(block)) + block


def names_stream(count, token_counts, *, string_lengths=(), string_data=b"", numerics=(), pads=b"",
                 columns=None, planes=None, version=1):
    """A hand-made names stream. `columns` maps a column to its runs
    [(op, length)]; `planes` maps a column to its delta planes (bytes)."""
    columns = columns or {}
    planes = planes or {}
    run_counts = varints(len(columns.get(k, [])) for k in range(64))
    run_ops = bytes(op for k in range(64) for op, _ in columns.get(k, []))
    run_lengths = varints(length for k in range(64) for _, length in columns.get(k, []))
    out = bytes([version]) + varint(count)
    for sub_stream in (varints(token_counts), varints(string_lengths), string_data, varints(numerics),
                       bytes(pads), run_counts, run_ops, run_lengths):
        out += coded(sub_stream)
    for k in range(64):
        out += varint(len(planes.get(k, [])))
        out += b"".join(coded(plane) for plane in planes.get(k, []))
    return out


def zigzag(value):
    return ((value << 1) ^ (value >> 63)) & ((1 << 64) - 1)


def name_error(detail):
    return pytest.raises(_zelk.ZelkError, match="^malformed name stream: " + detail + "$")


def round_trip(names):
    decoded = _zelk.decode_names_bytes(w.encode_names(names))
    assert decoded == names
    return decoded


# -- round trips -------------------------------------------------------------

REAL_SETS = [
    "illumina/hiseqx_seqkit_10k.fastq",
    "illumina/miseq_dada2_sam1_R1.fastq",
    "illumina/gaiix_shortread_ERR127302_R1.fastq",
    "illumina/gaii_spades_ecoli1k_R1.fastq",
    "ont/cdna_seqkit_pcs109_5k.fastq",
    "ont/dna_qcat_barcode_1k.fastq",
    "ont/seqkit_nanopore_4k.fastq",
    "pacbio/ccs_sequel_dada2_16s.fastq",
    "pacbio/ccs_rsii_pbcore.fastq",
]


@pytest.mark.parametrize("relative", REAL_SETS)
def test_real_names_round_trip(shared_fastq, relative):
    names = [record[0] for record in shared_fastq(relative)]
    assert _zelk.decode_names_bytes(w.encode_names(names)) == names


def test_long_descriptions_fill_the_last_column(shared_fastq):
    # Nanopore descriptions carry more than 63 tokens a name, far more
    # operations in the last column than there are records.
    names = [record[0] for record in shared_fastq("ont/cdna_seqkit_pcs109_5k.fastq", limit=1000)]
    long_names = [name + b" extra=" + b" k=1".join(b"%d" % i for i in range(40)) for name in names]
    round_trip(long_names)


ADVERSARIAL = {
    "empty_names": [b"", b"", b"a", b"", b"1", b""],
    "seventy_tokens": [b"a1" * 35],
    "many_seventy_token_names": [b"".join(b"k%d=" % (i + j) for j in range(35)) for i in range(1000)],
    "digit_runs_18_19_20": [b"x" + b"9" * 18, b"x" + b"9" * 19, b"x" + b"1" * 20, b"x" + b"9" * 18,
                            b"x" + b"0" * 18, b"x" + b"0" * 19],
    "leading_zeros": [b"r007", b"r0", b"r000", b"r0007", b"r0008", b"r8", b"r00", b"r1"],
    "negative_and_wrapping_deltas": [b"n%d" % v for v in (5, 100, 3, 999999999999999999, 0,
                                                         999999999999999999, 1, 1)],
    "every_byte_value": [bytes(range(256)), bytes(range(255, -1, -1)), bytes([0]) * 5,
                         *(bytes([b, b, 0x30 + b % 10]) for b in range(256))],
    "kinds_change_in_place": [b"a:1", b"a:b", b"a:2", b"1:2", b"x", b"7", b"7", b"8"],
    "numbers_only": [b"%d" % i for i in range(1, 3000)],
}


@pytest.mark.parametrize("names", ADVERSARIAL.values(), ids=ADVERSARIAL.keys())
def test_adversarial_round_trip(names):
    round_trip(names)


def test_random_names_round_trip():
    rng = random.Random(4)
    alphabet = b"0000123456789::__ab/ "
    for _ in range(40):
        names = [bytes(rng.choices(alphabet, k=rng.randrange(0, 90))) for _ in range(rng.randrange(1, 60))]
        round_trip(names)


def test_no_names():
    assert _zelk.decode_names_bytes(w.encode_names([])) == []


# -- the encoder's exact sub-streams, against a reference tokenizer ------------


def reference_tokens(name, fields_cut_alike, numbers):
    """The tokens of one name: digit runs, cut inside separator-delimited
    fields only where `fields_cut_alike` (None: no field rule) allows."""
    def digit_runs(text):
        return [(run, numbers and run[:1].isdigit() and len(run) <= 18) for run in re.findall(rb"[0-9]+|[^0-9]+", text)]

    if fields_cut_alike is None:
        cut = digit_runs(name)
    else:
        cut = []
        for position, field in enumerate(re.findall(rb"[0-9A-Za-z]+|[^0-9A-Za-z]+", name)):
            cut += digit_runs(field) if fields_cut_alike[position] else [(field, False)]
    return [(text, int(text) if numeric else 0, numeric) for text, numeric in cut]


def reference_fields_cut_alike(names):
    counts = {}
    for name in names:
        for position, field in enumerate(re.findall(rb"[0-9A-Za-z]+|[^0-9A-Za-z]+", name)):
            counts.setdefault(position, set()).add(len(re.findall(rb"[0-9]+|[^0-9]+", field)))
    return {position: len(seen) == 1 for position, seen in counts.items()}


def reference_sub_streams(names, fields=False, numbers=True):
    """The raw sub-streams of one way of cutting the names into tokens: the
    eight fixed ones, then each column's delta planes."""
    cut_alike = reference_fields_cut_alike(names) if fields else None
    token_counts, lengths, data, numerics, pads = bytearray(), bytearray(), bytearray(), bytearray(), bytearray()
    ops = [bytearray() for _ in range(64)]
    deltas = [[] for _ in range(64)]
    previous = []
    for name in names:
        tokens = reference_tokens(name, cut_alike, numbers)
        token_counts += varint(len(tokens))
        for i, (text, value, numeric) in enumerate(tokens):
            k = min(i, 63)
            prior = previous[i] if i < len(previous) else None
            if prior and prior[0] == text:
                ops[k].append(MATCH)
            elif not numeric:
                ops[k].append(STRING)
                lengths += varint(len(text))
                data += text
            else:
                if prior and prior[2]:
                    ops[k].append(DELTA)
                    deltas[k].append(zigzag(value - prior[1]))
                else:
                    ops[k].append(NUMERIC)
                    numerics += varint(value)
                pads.append(len(text) - (len(str(value)) if value > 0 else 1))
        previous = tokens
    runs = [[(m.group()[0], len(m.group())) for m in re.finditer(rb"(.)\1*", bytes(column), re.S)]
            for column in ops]
    fixed = [bytes(token_counts), bytes(lengths), bytes(data), bytes(numerics), bytes(pads),
             varints(len(r) for r in runs), bytes(op for r in runs for op, _ in r),
             varints(n for r in runs for _, n in r)]
    planes = []
    for column in deltas:
        count = max((max(column).bit_length() + 7) // 8, 1) if column else 0
        planes.append([bytes((d >> 8 * p) & 0xFF for d in column) for p in range(count)])
    return fixed, planes


def split_stream(stream):
    """The blocks of a names stream: the eight fixed ones, then per column
    its planes."""
    position = 0

    def take_varint():
        nonlocal position
        value = shift = 0
        while True:
            byte = stream[position]
            position += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                return value

    def take_block():
        nonlocal position
        length = take_varint()
        position += length
        return stream[position - length:position]

    assert stream[0] == 1
    position = 1
    take_varint()
    fixed = [take_block() for _ in range(8)]
    planes = [[take_block() for _ in range(take_varint())] for _ in range(64)]
    assert position == len(stream)
    return fixed, planes


def reference_stream(names, fields, numbers):
    fixed, planes = reference_sub_streams(names, fields, numbers)
    out = bytearray([1]) + varint(len(names))
    for sub_stream in fixed:
        block = w.rans_encode_best(sub_stream)
        out += varint(len(block)) + block
    for column in planes:
        out += varint(len(column))
        for plane in column:
            block = w.rans_encode_best(plane)
            out += varint(len(block)) + block
    return bytes(out)


def assert_smallest_cut(names):
    """The encoder keeps the smallest of its four ways to cut names (the
    first on a tie), each exactly as the reference tokenizer cuts them."""
    candidates = [reference_stream(names, fields, numbers) for fields in (False, True) for numbers in (True, False)]
    assert w.encode_names(names) == min(candidates, key=len)


@pytest.mark.parametrize("names", [*ADVERSARIAL.values(), [b"a001b7", b"a002b9", b"a0002b7", b"x"]],
                         ids=[*ADVERSARIAL.keys(), "pads"])
def test_encoder_writes_the_prescribed_sub_streams(names):
    assert_smallest_cut(names)


@pytest.mark.parametrize("path", ["ont/cdna_seqkit_pcs109_5k.fastq", "pacbio/ccs_sequel_dada2_16s.fastq",
                                  "illumina/hiseqx_seqkit_10k.fastq"])
def test_encoder_sub_streams_on_real_names(shared_fastq, path):
    assert_smallest_cut([record[0] for record in shared_fastq(path, limit=500)])


def test_hexadecimal_ids_stay_in_line():
    """Random UUIDs cut at every digit run would shift the constant fields
    after them out of line; kept whole, the names cost little more than the
    UUIDs' own 122 random bits."""
    rng = random.Random(7)
    names = [b"%s runid=8c239806e6f576cd17d6b7d532976b1fe830f9c6 ch=%d" % (str(uuid.UUID(int=rng.getrandbits(128), version=4)).encode(), rng.randrange(512))
             for _ in range(5000)]
    stream = w.encode_names(names)
    assert _zelk.decode_names_bytes(stream) == names
    assert len(stream) / len(names) < 22


# -- hand-made streams with known meaning ------------------------------------


def test_empty_block_with_all_empty_sub_streams():
    stream = bytes([1, 0]) + (varint(9) + bytes(9)) * 5 + coded(bytes(64)) + (varint(9) + bytes(9)) * 2
    assert _zelk.decode_names_bytes(stream + bytes(64)) == []


def test_numeric_pad_and_extreme_values():
    stream = names_stream(
        4, [1, 1, 1, 1], numerics=[42, 0, (1 << 64) - 1, (1 << 64) - 5], pads=[3, 0, 0, 2],
        columns={0: [(NUMERIC, 4)]})
    assert _zelk.decode_names_bytes(stream) == [b"00042", b"0", b"-1", b"0-5"]


def test_deltas_after_match_and_wrapping():
    big = (1 << 63) - 1
    stream = names_stream(
        5, [2, 2, 2, 2, 2], string_lengths=[2], string_data=b"id", numerics=[10], pads=[0, 1, 0, 0],
        columns={0: [(STRING, 1), (MATCH, 4)], 1: [(NUMERIC, 1), (MATCH, 1), (DELTA, 3)]},
        planes={1: [bytes([1, 2, 0]), bytes(3)]})
    # Deltas: zigzag 1 = -1, zigzag 2 = +1, zigzag 0 = 0.
    assert _zelk.decode_names_bytes(stream) == [b"id10", b"id10", b"id09", b"id10", b"id10"]
    wrap = names_stream(2, [1, 1], numerics=[big], pads=[0, 0], columns={0: [(NUMERIC, 1), (DELTA, 1)]},
                        planes={0: [bytes([2])]})
    assert _zelk.decode_names_bytes(wrap) == [b"%d" % big, b"%d" % -(1 << 63)]


def test_ninth_plane_adds_to_the_first_byte():
    planes = [bytes([2])] + [bytes(1)] * 7 + [bytes([4])]  # byte 0 = 2 | 4 = 6: +3
    stream = names_stream(2, [1, 1], numerics=[7], pads=[0, 0], columns={0: [(NUMERIC, 1), (DELTA, 1)]},
                          planes={0: planes})
    assert _zelk.decode_names_bytes(stream) == [b"7", b"10"]


def test_seventy_tokens_in_one_name_decode():
    # Tokens 63..69 are seven operations in column 63 for a single record.
    columns = {k: [(STRING, 1)] for k in range(63)}
    columns[63] = [(STRING, 7)]
    stream = names_stream(1, [70], string_lengths=[1] * 70, string_data=bytes(range(65, 65 + 70)),
                          columns=columns)
    assert _zelk.decode_names_bytes(stream) == [bytes(range(65, 65 + 70))]


def test_encoder_output_for_a_seventy_token_name():
    name = b"".join(b"%c%d" % (97 + i % 26, i) for i in range(35))
    round_trip([name, name, name[:-1] + b"7"])


# -- error texts -------------------------------------------------------------

ERROR_CASES = {
    "truncated": (b"", "truncated"),
    "unsupported version": (names_stream(0, [], version=2), "unsupported version"),
    "record count varint": (bytes([1]) + b"\xff" * 10, "varint too long"),
    "sub-stream past the end": (bytes([1, 0]) + varint(50) + bytes(10), "truncated"),
    "record count exceeds token stream": (names_stream(3, [1, 1]), "record count exceeds token stream"),
    "op sym underrun": (bytes([1, 0]) + (varint(9) + bytes(9)) * 5 + coded(bytes([1]) + bytes(63))
                        + (varint(9) + bytes(9)) * 2, "op sym underrun"),
    "run counts cut short": (bytes([1, 0]) + (varint(9) + bytes(9)) * 5 + coded(bytes(10))
                             + (varint(9) + bytes(9)) * 2, "varint too long"),
    "op run too long": (names_stream(1, [1], columns={5: [(MATCH, 1), (MATCH, 1)]}), "op run too long"),
    "op columns exceed the stream bound": (
        names_stream(1, [1], columns={63: [(STRING, 1 << 40)]}), "op columns exceed the stream bound"),
    "delta plane length mismatch": (
        names_stream(2, [1, 1], numerics=[1], pads=[0, 0], columns={0: [(NUMERIC, 1), (DELTA, 1)]},
                     planes={0: [b""]}),
        "delta plane length mismatch"),
    "unknown op": (names_stream(1, [1], columns={0: [(4, 1)]}), "unknown op"),
    "MATCH without prior token": (names_stream(1, [1], columns={0: [(MATCH, 1)]}), "MATCH without prior token"),
    "MATCH after an empty name": (
        names_stream(3, [1, 0, 1], string_lengths=[1], string_data=b"a", columns={0: [(STRING, 1), (MATCH, 1)]}),
        "MATCH without prior token"),
    "string data underrun": (
        names_stream(1, [1], string_lengths=[3], string_data=b"ab", columns={0: [(STRING, 1)]}),
        "string data underrun"),
    "delta underrun": (
        names_stream(2, [1, 1], numerics=[1], pads=[0, 0], columns={0: [(NUMERIC, 1), (DELTA, 1)]}),
        "delta underrun"),
    "DELTA after STRING": (
        names_stream(2, [1, 1], string_lengths=[1], string_data=b"a", pads=[0],
                     columns={0: [(STRING, 1), (DELTA, 1)]}, planes={0: [bytes([2])]}),
        "DELTA without numeric prior"),
    "DELTA without prior": (
        names_stream(1, [1], pads=[0], columns={0: [(DELTA, 1)]}, planes={0: [bytes([2])]}),
        "DELTA without numeric prior"),
    "pad underrun": (names_stream(1, [1], numerics=[5], columns={0: [(NUMERIC, 1)]}), "pad underrun"),
    "column runs out": (names_stream(2, [1, 1], numerics=[5], pads=[0], columns={0: [(NUMERIC, 1)]}),
                        "truncated"),
    "string length varint": (
        names_stream(1, [1], string_data=b"a", columns={0: [(STRING, 1)]}), "varint too long"),
    "token count varint": (names_stream(1, b"\x80", columns={0: [(MATCH, 1)]}), "varint too long"),
}


@pytest.mark.parametrize("stream, text", ERROR_CASES.values(), ids=ERROR_CASES.keys())
def test_error_texts(stream, text):
    with name_error(text):
        _zelk.decode_names_bytes(stream)


def test_a_failing_block_keeps_its_rans_text():
    stream = bytes([1, 0]) + varint(5) + bytes(5)
    with pytest.raises(_zelk.ZelkError, match="^malformed rANS stream: truncated stream$"):
        _zelk.decode_names_bytes(stream)
    plane_too_long = names_stream(1, [1], pads=[0], columns={0: [(DELTA, 1)]}, planes={0: [bytes(2)]})
    with pytest.raises(_zelk.ZelkError, match="^malformed rANS stream: rANS output length exceeds caller bound$"):
        _zelk.decode_names_bytes(plane_too_long)


def test_every_truncation_of_a_real_stream_fails_cleanly():
    names = [b"read:%d:%05d/1" % (i // 7, i * 13 % 99991) for i in range(60)]
    stream = w.encode_names(names)
    for cut in range(len(stream)):
        with pytest.raises(_zelk.ZelkError):
            _zelk.decode_names_bytes(stream[:cut])


# -- name template -------------------------------------------------------------


def render(columns, n):
    return w.render_name_template(w.encode_name_template(columns), n)


def zero_filled(value, width):
    text = str(value)
    return ("0" * max(0, width - len(text)) + text).encode()


@pytest.mark.parametrize("offset, width, n", [
    (0, 4, 12345), (0, 4, 7), (-10, 4, 3), (-1, 0, 0), (-5, 3, 0), ((1 << 63) - 1, 0, 1),
    (0, 1024, 99), (-(1 << 63), 30, 0), (1, 20, (1 << 64) - 1),
])
def test_template_counter(offset, width, n):
    value = (offset + n + (1 << 63)) % (1 << 64) - (1 << 63)
    assert render([b"@r", (offset, width), b"/1"], n) == b"@r" + zero_filled(value, width) + b"/1"


def test_template_column_kinds_and_trailing_bytes():
    columns = [b"lit", (2, 3), b"", (0, 0), b"\x00\xff"]
    coded_template = w.encode_name_template(columns)
    assert w.render_name_template(coded_template + b"ignored", 5) == b"lit007" + b"5\x00\xff"
    assert render([], 9) == b""
    assert render([b"x"] * 64, 0) == b"x" * 64


def template_error(detail):
    return pytest.raises(_zelk.ZelkError, match="^malformed name stream: " + detail + "$")


@pytest.mark.parametrize("data, text", [
    (varint(65) + bytes([0, 0]) * 65, "name template too large"),
    (varint(1) + bytes([1]) + varint(0) + varint(1025), "name-template counter pad too large"),
    (varint(1) + bytes([2]), "bad name-template column tag"),
    (varint(2) + bytes([0, 0]), "truncated"),
    (varint(1) + bytes([0]) + varint(5) + b"abc", "truncated"),
    (b"", "varint too long"),
    (varint(1) + bytes([1]) + b"\x80", "varint too long"),
])
def test_template_errors(data, text):
    with template_error(text):
        w.render_name_template(data, 0)
