"""Long-read sequence streams: the overlap codec (methods 1 and 2, contigs in
the block or from the archive's reference) and the tile codec (method 4).
Round trips on real and adversarial reads, checked against an independent
decoder; the format's edge cases on hand-made streams; the one error text
of malformed blocks."""

import os
import random
import subprocess
import sys

import pytest

import _zelk
import _zelk_writer as writer
import longread_reference as ref
from longread_reference import build_overlap, build_tiles
from reads import mutate, random_bases, revcomp

BAD = "^malformed lroverlap block$"

CCS = "pacbio/ccs_sequel_dada2_16s.fastq"
CDNA = "ont/cdna_seqkit_pcs109_5k.fastq"
ONT_DNA = "ont/dna_nanoget_SRR5665597.fastq"


def encode(reads, method, reference=None):
    return writer.encode_sequences(reads, method=method, reference=reference)


def decode(stream, reference=None):
    """The compiled decoder's reads, and the independent decoder's."""
    compiled = writer.decode_sequences(stream, reference=reference)
    payload = stream[1:]
    if stream[0] == 4:
        lengths, bases, _, layout = ref.decode_tiles(payload)
    else:
        lengths, bases, _, layout = ref.decode_overlap(payload, reference)
    offsets = [sum(lengths[:i]) for i in range(len(lengths) + 1)]
    independent = [bases[offsets[i] : offsets[i + 1]] for i in range(len(lengths))]
    assert compiled == independent
    return compiled, layout


def round_trip(reads, method, reference=None):
    stream = encode(reads, method, reference)
    assert stream[0] == method
    decoded, layout = decode(stream, reference)
    assert decoded == reads
    return stream, layout


# Round trips on real reads.

@pytest.mark.parametrize("method", [1, 4])
@pytest.mark.parametrize("path, count", [(CCS, 120), (CDNA, 200), (ONT_DNA, 12)])
def test_real_reads_round_trip(shared_fastq, path, count, method):
    reads = [sequence for _, sequence, _ in shared_fastq(path, count)]
    round_trip(reads, method)
    if method == 4:
        assert _zelk.decode_sequences_bytes(encode(reads, 4)) == reads


def test_real_reads_on_a_shared_reference(shared_fastq):
    reads = [sequence for _, sequence, _ in shared_fastq(CDNA, 200)]
    contigs = sorted(reads, key=len)[-20:]
    _, layout = round_trip(reads, 2, reference=contigs)
    # The contigs' own reads land on them.
    placed = {read: contig for read, contig, _, _ in layout}
    assert all(placed[reads.index(contig)] is not None for contig in contigs)


def test_amplicon_duplicates_become_whole_copies(shared_fastq):
    reads = [sequence for _, sequence, _ in shared_fastq(CCS, 300)]
    stream, layout = round_trip(reads, 4)
    copies = {read for read, distance, _, _, _ in layout if distance}
    assert len(copies) > 0.9 * len(reads)
    # Near-identical amplicons cost far less than two bits a base.
    assert len(stream) * 8 < 0.3 * sum(map(len, reads))


# Adversarial reads.

GENOME = random_bases(12000, seed=1)


def test_overlap_only_on_the_other_strand():
    first = GENOME[:4000]
    second = revcomp(mutate(GENOME[2000:6000], 0.01, seed=2))
    # The second read copies the first's reverse strand (in pieces between
    # indels when that codes smaller), and only its own half is raw.
    _, tiles = round_trip([first, second], 4)
    copies = [(distance, reverse) for read, distance, reverse, _, _ in tiles if read == 1 and distance]
    assert copies and set(copies) == {(1, 1)}
    assert sum(length for read, distance, _, _, length in tiles if read == 1 and not distance) < 2100
    # The longer read becomes the contig; one inside it lands on its reverse.
    inside = revcomp(mutate(GENOME[1000:3000], 0.005, seed=2))
    _, placements = round_trip([inside, first], 1)
    (inside_placed, first_placed) = sorted(placements)
    assert first_placed == (1, 0, 0, 0) and inside_placed[:3] == (0, 0, 1)
    assert 950 <= inside_placed[3] <= 1050
    _, placements = round_trip([first, second], 2, reference=[GENOME[:6000]])
    assert [(contig, reverse) for _, contig, reverse, _ in sorted(placements)] == [(0, 0), (0, 1)]


def ambiguous_reads():
    """Reads from one genome with N runs, IUPAC codes and lower case."""
    rng = random.Random(3)
    reads = []
    for i in range(12):
        start = rng.randrange(0, 8000)
        read = bytearray(mutate(GENOME[start : start + 3000], 0.005, seed=i))
        for _ in range(4):
            at = rng.randrange(len(read))
            read[at:at] = rng.choice([b"N", b"NNNNNNNN", b"acgtac", b"R", b"y", b"n", b"-", b"\x00\xff"])
        reads.append(bytes(read))
    return reads


@pytest.mark.parametrize("method", [1, 2, 4])
def test_reads_with_ambiguity_codes_and_lower_case(method):
    reads = ambiguous_reads()
    contigs = [GENOME[:6000], b"acgtNNNN" + GENOME[6000:] + b"RYKM"] if method == 2 else None
    _, layout = round_trip(reads, method, reference=contigs)
    # Ambiguous bases do not keep the reads from aligning: of a dozen reads
    # covering the genome three times over, little more than the genome is
    # stored raw, and only a few reads make contigs.
    if method == 4:
        assert sum(length for _, distance, _, _, length in layout if distance == 0) <= len(GENOME)
    else:
        assert all(contig is not None for _, contig, _, _ in layout)
        assert len({contig for _, contig, _, _ in layout}) <= (2 if method == 2 else 5)


def test_read_longer_than_every_contig():
    contigs = [GENOME[1000:2000], GENOME[3000:3500]]
    round_trip([GENOME[:5000], GENOME[2900:3600], GENOME[:10]], 2, reference=contigs)


def test_back_reference_to_the_first_read():
    first, other = GENOME[:3000], GENOME[6000:9000]
    _, tiles = round_trip([first, other, mutate(first, 0.01, seed=4)], 4)
    copies = [(distance, reverse, offset) for read, distance, reverse, offset, _ in tiles if read == 2 and distance]
    assert copies[0] == (2, 0, 0) and {copy[:2] for copy in copies} == {(2, 0)}


def raw_bases_per_read(tiles):
    raw = {}
    for read, distance, _, _, length in tiles:
        raw[read] = raw.get(read, 0) + (0 if distance else length)
    return raw


def test_transcript_copies_with_long_runs_on_both_strands():
    """Far more copies of one transcript than a common seed is looked up
    in, with long single-base runs (poly-A tails, a poly-C stretch) whose
    seeds repeat within each read, on both strands."""
    transcript = GENOME[:1500] + b"C" * 80 + GENOME[1500:2500]
    reads = []
    for i in range(160):
        read = mutate(transcript, 0.01, seed=100 + i) + b"A" * random.Random(i).randrange(20, 120)
        reads.append(revcomp(read) if i % 3 == 1 else read)
    reads += [reads[7], revcomp(reads[8])] * 3
    _, tiles = round_trip(reads, 4)
    raw = raw_bases_per_read(tiles)
    assert raw[0] == len(reads[0])
    # Every later read is copied; only its tail and a few inserted bases
    # are stored raw.
    assert all(raw.get(read, 0) < 150 for read in range(1, len(reads)))
    # Exact copies of an earlier read, forward or reverse, are one whole
    # copy of the nearest one.
    for read in range(160, len(reads)):
        ((distance, reverse, offset, length),) = [tile[1:] for tile in tiles if tile[0] == read]
        source = reads[read - distance]
        assert (revcomp(source) if reverse else source) == reads[read] and (offset, length) == (0, len(source))
        assert distance == (read - (7, 8)[read % 2] if read < 162 else 2)


def test_overlap_behind_a_long_unshared_stretch():
    """Seeds with no earlier occurrence come first; the shared part behind
    them is still found."""
    first = GENOME[:3000]
    second = random_bases(4000, seed=7) + mutate(GENOME[:3000], 0.01, seed=8)
    _, tiles = round_trip([first, second], 4)
    assert raw_bases_per_read(tiles)[1] < 4200


def test_block_contigs_take_the_majority_of_their_reads():
    """A contig starts as one noisy read; the reads placed on it, on either
    strand and with errors of their own, outvote its substituted bases, a
    base it misses and one it adds. Its own stretch that no other read
    covers stays as it is."""
    transcript = GENOME[3000:5000]
    distinct = [at for at in range(1, len(transcript) - 1) if len(set(transcript[at - 1 : at + 2])) == 3]
    missing, added = distinct[100], distinct[400]
    inserted = next(base for base in b"ACGT" if base not in transcript[added - 1 : added + 1])
    first = bytearray(transcript)
    for at in range(50, len(first), 190):
        first[at] = b"ACGT"[(b"ACGT".index(first[at]) + 1) % 4]
    first[added:added] = bytes([inserted])
    del first[missing]
    tail = random_bases(40, seed=9)
    reads = [bytes(first) + tail]
    for i in range(24):
        read = mutate(transcript, 0.02, seed=200 + i)
        reads.append(revcomp(read) if i % 2 else read)
    stream, _ = round_trip(reads, 1)
    assert ref.block_contigs(stream[1:]) == [transcript + tail]


@pytest.mark.parametrize("method", [1, 2, 4])
@pytest.mark.parametrize(
    "reads",
    [[], [b""], [b"", b"", b""], [b"", GENOME[:2000], b"", GENOME[500:2500], b""], [b"A"], [b"N", b"acgt"]],
)
def test_empty_and_tiny_reads(method, reads):
    round_trip(reads, method, reference=[GENOME[:3000]] if method == 2 else None)


@pytest.mark.parametrize("method", [1, 4])
def test_one_megabase_read(method):
    big = random_bases(1 << 20, seed=5)
    reads = [big, mutate(big[1000:], 0.002, seed=6), GENOME[:100]]
    stream = encode(reads, method)
    assert writer.decode_sequences(stream) == reads
    # The copy is coded by its edits, not its bases.
    assert len(stream) < 0.3 * len(big)


# Edge cases of the format, on hand-made streams.

def decoded(payload, method=None, reference=None):
    method = (1 if payload[:3] == b"LRO" else 4) if method is None else method
    return writer.decode_sequences(bytes([method]) + payload, reference=reference)


def test_empty_block_has_one_group_count():
    assert decoded(build_overlap([], [], [[]])) == []
    assert decoded(build_tiles([], [], None)) == []


def test_read_placed_twice_keeps_the_second():
    contig = b"ACGTTGCA"
    payload = build_overlap([4], [contig], [[(0, 0, 0, 0, [("M", 4)]), (0, 0, 0, 4, [("M", 4)])], []])
    assert decoded(payload) == [b"TGCA"]


def test_match_past_the_contig_end_fails():
    payload = build_overlap([6], [b"ACGT"], [[(0, 0, 0, 0, [("M", 6)])], []])
    with pytest.raises(_zelk.ZelkError, match=BAD):
        decoded(payload)


def test_inserted_bases_at_a_read_start_use_the_start_context():
    # The second read starts with an insertion: its first base is coded in
    # the start context, not after the "G" that ended the first read.
    contig = b"ACGTACGT"
    placements = [[(0, 0, 0, 0, [("M", 3), ("I", b"TT")]), (1, 0, 0, 2, [("I", b"CA"), ("M", 3)])], []]
    assert decoded(build_overlap([5, 5], [contig], placements)) == [b"ACGTT", b"CAGTA"]


def test_every_op_kind_against_the_independent_decoder():
    contig = GENOME[:300]
    script = [("M", 50), ("S", ord("A")), ("I", b"GATTACA"), ("D", 9), ("M", 20), ("S", ord("C")), ("S", ord("T")),
              ("D", 1), ("I", b"N"), ("M", 10)]

    def rebuilt(start):
        ref = contig[start:]
        return ref[:50] + b"A" + b"GATTACA" + ref[60:80] + b"CT" + b"A" + ref[83:93]

    length = len(rebuilt(0))
    payload = build_overlap([length, length], [contig], [[(0, 0, 0, 7, script), (1, 0, 1, 3, script)], []])
    expected = [rebuilt(7), revcomp(rebuilt(10))]
    assert decoded(payload) == expected
    assert ref.decode_overlap(payload)[1] == b"".join(expected)


def test_reverse_strand_keeps_lower_case_and_n_from_the_contig():
    payload = build_overlap([6], [b"ACgtNA"], [[(0, 0, 1, 0, [("M", 6)])], []])
    assert decoded(payload) == [b"TNtgGT"]


def test_method_2_takes_contigs_from_the_reference():
    payload = build_overlap([4, 3], [b"GGGG", b"ACGTAC"], [[], [(0, 0, 0, 1, [("M", 4)])], [(1, 1, 0, 0, None)]],
                            method=2, raw=bytes([3, 2, 9]))
    assert decoded(payload, 2, reference=[b"GGGG", b"ACGTAC"]) == [b"CGTA", b"TGA"]
    with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: shared-reference sequence block but no "
                                              "reference frame in the archive$"):
        _zelk.decode_sequences_bytes(b"\x02" + payload)


def test_unplaced_reads_stay_zero_bytes_and_exceptions_apply():
    payload = build_overlap([2, 3], [], [[(1, 1, 0, 0, None)]], raw=bytes([0, 1, 2]),
                            exception_pairs=[(0, ord("N")), (4, ord("x"))])
    assert decoded(payload) == [b"N\x00", b"ACx"]


def tile_sources(reads):
    def source(read, tile):
        distance, reverse, offset, _, _ = tile
        bases = reads[read - distance]
        return (revcomp(bases) if reverse else bases)[offset:]

    return source


def test_all_raw_tiles_leave_the_range_coders_unused():
    payload = build_tiles([3, 2], [[("raw", 1), ("raw", 2)], [("raw", 2)]], None, raw=bytes([0, 1, 2, 3, 7]))
    assert decoded(payload) == [b"ACG", b"TA"]


def test_zero_length_tile_consumes_its_strand_and_offset():
    reads = [b"ACGTTT", b"AAACG"]
    tiles = [[("raw", 6)], [(1, 1, 3, 0, None), (1, 0, 0, 3, [("M", 3)]), (1, 1, 4, 2, [("M", 2)])]]
    payload = build_tiles([6, 5], tiles, tile_sources(reads), raw=bytes([0, 1, 2, 3, 3, 3]))
    # The reverse strand of "ACGTTT" is "AAACGT"; from offset 4: "GT".
    assert decoded(payload) == [b"ACGTTT", b"ACGGT"]


def test_reverse_tile_at_offset_zero_copies_the_source_end_first():
    reads = [b"AACGTG"]
    tiles = [[("raw", 6)], [(1, 1, 0, 6, [("M", 6)])]]
    payload = build_tiles([6, 6], tiles, tile_sources(reads), raw=bytes([0, 0, 1, 2, 3, 2]))
    assert decoded(payload) == [b"AACGTG", b"CACGTT"]


# Malformed streams.

def valid_overlap():
    contig = GENOME[:200]
    placements = [[(0, 0, 0, 5, [("M", 30), ("S", ord("T")), ("M", 10)]), (2, 0, 1, 3, [("M", 41)])],
                  [(1, 1, 0, 0, None)]]
    return build_overlap([41, 3, 41], [contig], placements, raw=bytes([1, 2, 3]), exception_pairs=[(3, ord("n"))])


def valid_tiles():
    reads = [GENOME[:40], GENOME[10:50]]
    tiles = [[("raw", 40)], [(1, 0, 10, 30, [("M", 30)]), ("raw", 10)]]
    raw = bytes(b"ACGT".index(b) for b in GENOME[:40] + GENOME[40:50])
    return build_tiles([40, 40], tiles, tile_sources(reads), raw=raw, exception_pairs=[(1, ord("N"))])


def test_hand_made_valid_streams_decode():
    assert decoded(valid_overlap())[1] == b"CGT"
    assert decoded(valid_tiles())[1] == GENOME[10:50]


@pytest.mark.parametrize("builder", [valid_overlap, valid_tiles])
def test_every_truncation_fails(builder):
    payload = builder()
    for cut in range(len(payload)):
        with pytest.raises(_zelk.ZelkError, match=BAD):
            decoded(payload[:cut], payload[3] if payload[:3] == b"LRO" else 4)


CONTIG = [GENOME[:100]]


@pytest.mark.parametrize(
    "stream",
    [
        pytest.param(b"\x01LRT\x01" + valid_overlap()[4:], id="overlap magic"),
        pytest.param(b"\x01" + valid_overlap()[:3] + b"\x02" + valid_overlap()[4:], id="method byte"),
        pytest.param(b"\x04" + valid_tiles()[:3] + b"\x02" + valid_tiles()[4:], id="tile version"),
        pytest.param(b"\x01LRO\x01" + ref.encode_varint(0) + ref.encode_varint(1 << 40), id="total past capacity"),
        pytest.param(b"\x01" + build_overlap([2, 3], [], [[]], total=6), id="lengths off the total"),
        pytest.param(b"\x01" + build_overlap([1 << 32], [], [[]]), id="read length of 2^32"),
        pytest.param(b"\x01" + build_overlap([2], [], [[(1, 1, 0, 0, None)]], raw=b"\x00\x00"), id="read index"),
        pytest.param(b"\x01" + build_overlap([2], [], [[(0, 1, 0, 0, None)]], raw=b"\x00"), id="raw codes used up"),
        pytest.param(b"\x01" + build_overlap([2], [], [[(0, 0, 0, 0, [("M", 2)])]]), id="aligned read unaligned"),
        pytest.param(b"\x01" + build_overlap([2], CONTIG, [[(0, 0, 0, 101, [])], []]), id="start past contig"),
        pytest.param(b"\x01" + build_overlap([2], CONTIG, [[(0, 0, 0, -1, [])], []]), id="start before contig"),
        pytest.param(b"\x01" + build_overlap([2], CONTIG, [[(0, 0, 0, 0, [("M", 3)])], []]), id="script overshoots"),
        pytest.param(b"\x01" + build_overlap([2], CONTIG, [[(0, 0, 0, 0, [("M", 1)])], []]), id="ops used up"),
        pytest.param(b"\x01" + build_overlap([2], CONTIG, [[(0, 0, 0, 0, [("M", 2), ("M", 1)])], []]),
                     id="ops left over"),
        pytest.param(b"\x01" + build_overlap([1], CONTIG, [[(0, 0, 0, 0, [("I", b"AC")])], []]),
                     id="insertion overshoots"),
        pytest.param(b"\x01" + build_overlap([1], [], [[(0, 1, 0, 0, None)]], raw=b"\x00",
                                             exception_pairs=[(1, 65)]), id="exception past the end"),
        pytest.param(b"\x04" + build_tiles([2], [[(1, 0, 0, 2, [("M", 2)])]], lambda r, t: b"AC"),
                     id="first read copies"),
        pytest.param(b"\x04" + build_tiles([2, 2], [[("raw", 2)], [(1, 0, 3, 2, [("M", 2)])]], lambda r, t: b"",
                                           raw=b"\x00\x00"), id="offset past source"),
        pytest.param(b"\x04" + build_tiles([2, 2], [[("raw", 2)], [(1, 0, 0, 3, [("M", 2)])]],
                                           lambda r, t: b"AA", raw=b"\x00\x00"), id="tile overshoots read"),
        pytest.param(b"\x04" + build_tiles([2], [[("raw", 3)]], None, raw=b"\x00\x00\x00"),
                     id="raw tile overshoots"),
        pytest.param(b"\x04" + build_tiles([2, 2], [[("raw", 2)], [(1, 0, 0, 2, [("M", 1), ("I", b"AA")])]],
                                           lambda r, t: b"AA", raw=b"\x00\x00"), id="script overshoots tile"),
    ],
)
def test_malformed_streams(stream):
    with pytest.raises(_zelk.ZelkError, match=BAD):
        writer.decode_sequences(stream, reference=None)
    with pytest.raises(_zelk.ZelkError, match=BAD):
        _zelk.decode_sequences_bytes(stream)


@pytest.mark.skipif("ZELK_SANITIZED" in os.environ, reason="child interpreters lack the preloaded runtime")
def test_decode_ceiling_applies_to_the_declared_total():
    streams = [b"\x01" + build_overlap([4000], [], [[(0, 1, 0, 0, None)]], raw=bytes(4000)),
               b"\x04" + build_tiles([4000], [[("raw", 4000)]], None, raw=bytes(4000))]
    code = f"""
import _zelk
for stream in {streams!r}:
    try:
        print(len(_zelk.decode_sequences_bytes(stream)[0]))
    except _zelk.ZelkError as error:
        print(error)
"""
    run = lambda limit: subprocess.run([sys.executable, "-c", code], env=dict(os.environ, ZELK_DECODE_LIMIT=limit),
                                       capture_output=True, text=True).stdout.splitlines()
    refused = "malformed sequence stream: declared sequence length of 4000 bytes exceeds the decode limit of 3999 bytes"
    assert run("3999") == [refused, refused]
    assert run("4000") == ["4000", "4000"]


def test_other_methods_are_dispatched_as_before():
    with pytest.raises(_zelk.ZelkError, match="^unsupported zelk sequence codec method 5; upgrade zelk$"):
        _zelk.decode_sequences_bytes(b"\x05LRT\x01")
    with pytest.raises(_zelk.ZelkError, match="no reference frame in the archive$"):
        encode([GENOME[:100]], 2)


# Whole archives.

@pytest.mark.parametrize("method", [1, 4])
def test_archives_decode_everywhere(shared_fastq, method):
    records = shared_fastq(CDNA, 150)
    archive = writer.write_archive(records, sequence_method=method, block_reads=60)
    expected = [(name, sequence, quality) for name, sequence, quality in records]
    text = b"".join(b"@%s\n%s\n+\n%s\n" % record for record in expected)
    assert _zelk.decompress_to_bytes(archive) == text
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == expected
    assert _zelk.read_sequences(archive) == [sequence for _, sequence, _ in records]
    assert [r.sequence for r in _zelk.read_block(archive, 1)] == [s for _, s, _ in records[60:120]]


def sequence_streams(archive):
    """The coded sequence stream of every block, as a remote client fetches it."""
    index, need = _zelk.parse_index_suffix(archive[-40:], len(archive))
    if index is None:
        index, _ = _zelk.parse_index_suffix(archive[-need:], len(archive))
    streams = []
    for group in range(index.num_groups):
        start, end = index.stream_range(group, "seq")
        streams.append(archive[start:end])
        index.verify_stream(group, "seq", streams[-1])
    return streams


def test_default_method_is_the_smallest_per_block(shared_fastq):
    amplicons = shared_fastq(CCS, 400)
    unrelated = [(b"r%d" % i, random_bases(1500, seed=10 + i), b"I" * 1500) for i in range(40)]
    short = [(b"s%d" % i, random_bases(100, seed=100 + i), b"I" * 100) for i in range(40)]
    for records in (amplicons, unrelated, short):
        archive = writer.write_archive(records, block_reads=200)
        for block, stream in enumerate(sequence_streams(archive)):
            reads = [sequence for _, sequence, _ in records[200 * block:200 * (block + 1)]]
            candidates = [writer.encode_sequences(reads, method=method) for method in (0, 3, 4)]
            assert stream == min(candidates, key=len)
            assert _zelk.decode_sequences_bytes(stream) == reads
            # Overlapping amplicons are the case worth having: copies win.
            assert (stream[0] != 0) == (records is amplicons)


def test_archive_on_a_shared_reference(shared_fastq):
    records = shared_fastq(CDNA, 120)
    contigs = [sequence for _, sequence, _ in sorted(records, key=lambda r: len(r[1]))[-15:]]
    archive = writer.write_archive(records, sequence_method=2, reference=contigs, block_reads=50)
    text = b"".join(b"@%s\n%s\n+\n%s\n" % record for record in records)
    assert _zelk.decompress_to_bytes(archive) == text
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == records
    streams = sequence_streams(archive)
    assert [stream[0] for stream in streams] == [2, 2, 2]
    # Random access and a lone stream never read the reference frame.
    missing = "^malformed zelk block: shared-reference sequence block but no reference frame in the archive$"
    with pytest.raises(_zelk.ZelkError, match=missing):
        _zelk.decode_sequences_bytes(streams[0])
    with pytest.raises(_zelk.ZelkError, match=missing):
        _zelk.read_block(archive, 1)
    assert writer.decode_sequences(streams[0], reference=contigs) == [s for _, s, _ in records[:50]]
