"""The globally reordered layout: sequence blocks of versions 2 to 4, the
section decode behind every pipeline, and the writer with its reorderer."""

import random
import struct

import pytest

import _zelk
import _zelk_writer as writer
from archives import reordered
from coding import varint

COMPLEMENT = bytes.maketrans(b"ACGTacgt", b"TGCAtgca")


def revcomp(sequence):
    return sequence.translate(COMPLEMENT)[::-1]


def fastq_text(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % r for r in records)


def records_of(text):
    lines = text.split(b"\n")
    return [(lines[i][1:], lines[i + 1], lines[i + 3]) for i in range(0, len(lines) - 1, 4)]


def genome_reads(count, genome_length=4000, read_length=100, seed=7, flip=0.5, errors=0.01, n_runs=0.0):
    """Reads sampled from one random genome, on either strand, with
    substitutions and optional runs of N."""
    rng = random.Random(seed)
    genome = bytes(rng.choice(b"ACGT") for _ in range(genome_length))
    records = []
    for i in range(count):
        start = rng.randrange(genome_length - read_length)
        read = bytearray(genome[start:start + read_length])
        for j in range(read_length):
            if rng.random() < errors:
                read[j] = rng.choice(b"ACGT")
        if rng.random() < n_runs:
            at = rng.randrange(read_length - 5)
            read[at:at + 5] = b"NNNNN"
        read = bytes(read)
        if rng.random() < flip:
            read = revcomp(read)
        quality = bytes(rng.choice(b"#+5?I") for _ in range(read_length))
        records.append((b"read.%d" % (i + 1), read, quality))
    return records


def reordered_archive(records, **options):
    return writer.write_archive(records, layout="reordered", **options)


def stored_sections(archive):
    """(flip bitmap, permutation, template, sequence blocks) of a writer's
    archive (25-byte header, no reference)."""
    pos = 25 + 8

    def take():
        nonlocal pos
        length = struct.unpack_from("<I", archive, pos)[0]
        payload = archive[pos + 8:pos + 8 + length]
        pos += 8 + length
        return payload

    flips, permutation, template = take(), take(), take()
    blocks = struct.unpack_from("<I", archive, pos)[0]
    pos += 4
    return flips, permutation, template, [take() for _ in range(blocks)]


def name_quality_blocks(archive):
    """The (names, qualities) block pairs of a writer's archive without a
    reference."""
    pos = 25 + 8
    for _ in range(3):
        pos += 8 + struct.unpack_from("<I", archive, pos)[0]
    blocks = struct.unpack_from("<I", archive, pos)[0]
    pos += 4
    payloads = []
    for _ in range(3 * blocks):
        length = struct.unpack_from("<I", archive, pos)[0]
        payloads.append(archive[pos + 8:pos + 8 + length])
        pos += 8 + length
    rest = payloads[blocks:]
    return list(zip(rest[0::2], rest[1::2]))


def assert_same_reads(text, records):
    """Without keep_order the records come back in stored order."""
    assert sorted(records_of(text)) == sorted(records)


# Round trips -------------------------------------------------------------

def untemplated(records, seed=1):
    """The records under names no template renders (counters out of step)."""
    rng = random.Random(seed)
    return [(b"read.%d" % rng.randrange(10 ** 9), s, q) for _, s, q in records]


@pytest.mark.parametrize("version", [2, 3])
def test_round_trip_keeps_order_and_strand(version):
    records = untemplated(genome_reads(1500, genome_length=3000, n_runs=0.2))
    archive = reordered_archive(records, reorder_version=version, block_reads=600)
    flips, permutation, _, blocks = stored_sections(archive)
    assert len(blocks) == 3 and any(flips) and permutation  # really reordered, some reads flipped
    assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    assert _zelk.decompress_to_bytes(archive, fasta=True, threads=1) == b"".join(
        b">%s\n%s\n" % (n, s) for n, s, _ in records)
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == records
    _zelk.verify(archive)


@pytest.mark.parametrize("version", [2, 3])
def test_round_trip_in_stored_order(version):
    records = genome_reads(500, seed=3)
    archive = reordered_archive(records, reorder_version=version, keep_order=False, name_template=None)
    text = _zelk.decompress_to_bytes(archive)
    assert_same_reads(text, records)
    assert text != fastq_text(records)  # the reorderer really moved reads
    _zelk.verify(archive)


def test_reordering_finds_overlaps_and_shrinks_the_sequence_stream():
    records = genome_reads(2000, genome_length=6000, errors=0.002)
    archive = reordered_archive(records, keep_order=False)  # sequence bytes without a permutation
    plain = writer.write_archive(records)
    assert _zelk.inspect(archive).sequence_bytes * 2 < _zelk.inspect(plain).sequence_bytes
    unordered = reordered_archive(records, keep_order=False, reorder=False)
    assert _zelk.inspect(archive).sequence_bytes * 2 < _zelk.inspect(unordered).sequence_bytes
    assert _zelk.decompress_to_bytes(reordered_archive(records, reorder=False)) == fastq_text(records)


def test_reads_that_overlap_nothing_are_stored_last_in_input_order():
    # Four genomes, their reads dealt out in turn with reads from nowhere
    # between them: the contigs come first, the loners after, in input order.
    genomes = [[(b"g%d.%s" % (g, n), s, q) for n, s, q in genome_reads(120, genome_length=900, seed=40 + g)]
               for g in range(4)]
    rng = random.Random(99)
    strangers = [(b"stranger.%d" % i, bytes(rng.choice(b"ACGT") for _ in range(100)), b"I" * 100)
                 for i in range(120)]
    records = [record for group in zip(*genomes, strangers) for record in group]
    archive = reordered_archive(records, keep_order=False, name_template=None)
    stored = records_of(_zelk.decompress_to_bytes(archive))
    first_alone = stored.index(strangers[0])
    tail = stored[first_alone:]
    # A few sampled reads may fit nowhere either; they join the tail.
    assert len(tail) < 120 + 20 and set(strangers) <= set(tail)
    assert tail == [r for r in records if r in tail]  # in input order
    flips = stored_sections(archive)[0]
    assert any(flips) and len(flips) <= (first_alone + 7) // 8  # none of the tail is flipped


def test_name_template_regenerates_names_in_stored_order():
    records = genome_reads(300, seed=11)
    archive = reordered_archive(records, keep_order=False)
    info = _zelk.inspect(archive)
    assert info.regenerated_names and info.reordered and not info.keep_order
    assert info.names_bytes > 0  # the template itself
    decoded = records_of(_zelk.decompress_to_bytes(archive))
    assert [name for name, _, _ in decoded] == [b"read.%d" % (i + 1) for i in range(300)]
    assert sorted((s, q) for _, s, q in decoded) == sorted((s, q) for _, s, q in records)
    _zelk.verify(archive)


@pytest.mark.parametrize("names", [
    [b"SRR1.%d len=%d" % (i, i) for i in range(5, 45)],
    [b"x-%d" % (100 - i) for i in range(40)],  # a negative counter
    [b"r%03d" % i for i in range(40)],
    [b"same"] * 40,
])
def test_template_found_for_counter_names(names):
    records = [(n, s, q) for n, (_, s, q) in zip(names, genome_reads(len(names), seed=5))]
    archive = reordered_archive(records, keep_order=False)
    assert _zelk.inspect(archive).regenerated_names
    assert [n for n, _, _ in records_of(_zelk.decompress_to_bytes(archive))] == names


def test_quality_blocks_take_the_writers_quality_options():
    rng = random.Random(8)
    records = [(b"q%d" % rng.randrange(10 ** 6), b"ACGT" * 10, bytes(rng.choice(b"#+5?I") for _ in range(40)))
               for _ in range(250)]
    symbols = b"I?5+#"  # not the default ascending order
    archive = reordered_archive(records, reorder=False, block_reads=100, symbols=symbols, quality_binning=3)
    assert _zelk.inspect(archive).quality_binning == 3
    pairs = name_quality_blocks(archive)
    assert len(pairs) == 3
    for b, (_, qualities) in enumerate(pairs):
        expected = writer.encode_qualities([q for _, _, q in records[100 * b:100 * b + 100]], binning=3,
                                           symbols=symbols)
        assert qualities == expected
        assert qualities[4:4 + len(symbols)] == symbols  # the table's order, as given
    assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    with pytest.raises(ValueError):
        reordered_archive(records, symbols=b"I")  # a table without every quality byte


def test_names_kept_when_no_template_fits_or_order_is_kept():
    records = genome_reads(100)
    records[50] = (b"odd", records[50][1], records[50][2])
    for options in ({"keep_order": False}, {"keep_order": True}):
        archive = reordered_archive(records, **options)
        assert not _zelk.inspect(archive).regenerated_names
        assert_same_reads(_zelk.decompress_to_bytes(archive), records)


def test_header_flags_say_what_was_done():
    records = untemplated(genome_reads(1000, genome_length=2000))
    kept = _zelk.inspect(reordered_archive(records))
    assert (kept.reordered, kept.keep_order, kept.regenerated_names) == (True, True, False)
    assert kept.reads == 1000 and kept.whole_file_crc is None
    header_flags = reordered_archive(records)[16]
    assert header_flags == 0x08 | 0x04 | 0x02
    records = genome_reads(50)
    assert reordered_archive(records, keep_order=False, name_template=None)[16] == 0x08 | 0x02
    assert reordered_archive(records, keep_order=False)[16] == 0x08 | 0x10 | 0x02


def test_input_order_needs_no_permutation_and_keeps_template_names_exact():
    # Reads that overlap nothing gain nothing from reordering: kept in input
    # order they come back in it without a permutation, and names that one
    # template renders are regenerated exactly.
    records = [(b"cell%05d" % (i + 7), s, q) for i, (_, s, q) in enumerate(ADVERSARIAL["no overlaps"])]
    for options in ({}, {"reorder": False}):
        archive = reordered_archive(records, **options)
        flips, permutation, template, _ = stored_sections(archive)
        info = _zelk.inspect(archive)
        assert (info.keep_order, info.regenerated_names) == (False, True)
        assert (flips, permutation) == (b"", b"") and template
        assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    # Names that fit no template are stored, still in input order.
    odd = untemplated(records)
    archive = reordered_archive(odd, reorder=False)
    assert not _zelk.inspect(archive).regenerated_names
    assert _zelk.decompress_to_bytes(archive) == fastq_text(odd)


def test_input_order_is_chosen_when_names_render_from_a_template():
    # Reordering pays for these reads, but less than storing their names
    # (which the permutation requires) costs.
    records = genome_reads(1500, genome_length=3000)
    plain_names = untemplated(records)
    assert _zelk.inspect(reordered_archive(plain_names)).keep_order
    info = _zelk.inspect(reordered_archive(records))
    assert (info.keep_order, info.regenerated_names) == (False, True)
    assert _zelk.decompress_to_bytes(reordered_archive(records)) == fastq_text(records)


ADVERSARIAL = {
    "all identical": [(b"r%d" % i, b"ACGTTGCAAC" * 15, b"I" * 150) for i in range(200)],
    "no overlaps": [(b"r%d" % i, bytes(random.Random(i).choice(b"ACGT") for _ in range(80)), b"5" * 80)
                    for i in range(200)],
    "N runs": [(b"r%d" % i, b"N" * (i % 40) + b"ACGGT" * 10 + b"N" * 7, b"#" * (i % 40 + 57))
               for i in range(120)],
    "very different lengths": [(b"r%d" % i, (b"GATTACA" * 600)[: (i * 37) % 4001], b"?" * ((i * 37) % 4001))
                               for i in range(150)],
    "lower case and IUPAC": [(b"r%d" % i, b"acgtRYacgtNNacgt" * 5, b"I" * 80) for i in range(30)],
    "empty reads": [(b"", b"", b""), (b"e", b"", b""), (b"x", b"A", b"I"), (b"y", b"", b"")],
    "a single read": [(b"only", b"ACGTACGTAC", b"IIIIIIIIII")],
    "none": [],
}


@pytest.mark.parametrize("case", ADVERSARIAL)
@pytest.mark.parametrize("version", [2, 3])
def test_adversarial_inputs_round_trip(case, version):
    records = ADVERSARIAL[case]
    for block_reads in (None, 7):
        kept = reordered_archive(records, reorder_version=version, block_reads=block_reads)
        assert _zelk.decompress_to_bytes(kept) == fastq_text(records)
        _zelk.verify(kept)
        stored = reordered_archive(records, reorder_version=version, keep_order=False, name_template=None,
                                   block_reads=block_reads)
        assert_same_reads(_zelk.decompress_to_bytes(stored), records)
        _zelk.verify(stored)


REAL_SETS = [
    ("illumina/hiseqx_seqkit_10k.fastq", 3000),
    ("illumina/gaiix_shortread_ERR127302_R1.fastq", 3000),
    ("illumina/miseq_dada2_sam1_R1.fastq", 1500),
    ("illumina/nextseq_dropseq_10cells.fastq", 4000),
    ("ont/dna_qcat_barcode_1k.fastq", 60),
]


@pytest.mark.parametrize("relative,limit", REAL_SETS)
def test_real_reads_round_trip(shared_fastq, relative, limit):
    records = shared_fastq(relative, limit)
    for version in (2, 3):
        archive = reordered_archive(records, reorder_version=version)
        assert _zelk.decompress_to_bytes(archive, threads=2) == fastq_text(records)
        stored = reordered_archive(records, reorder_version=version, keep_order=False)
        assert_same_reads_or_renamed(_zelk.decompress_to_bytes(stored), records)


def assert_same_reads_or_renamed(text, records):
    decoded = records_of(text)
    assert sorted((s, q) for _, s, q in decoded) == sorted((s, q) for _, s, q in records)


def test_real_short_reads_halve_the_sequence_stream(shared_fastq):
    records = shared_fastq("illumina/hiseqx_seqkit_10k.fastq")
    archive = reordered_archive(records, keep_order=False)
    plain = writer.write_archive(records)
    assert _zelk.inspect(archive).sequence_bytes * 2 < _zelk.inspect(plain).sequence_bytes


# Stream selection --------------------------------------------------------

SELECTIONS = [["names"], ["sequence"], ["quality"], ["names", "sequence"], ["names", "quality"],
              ["sequence", "quality"], [], ["names", "sequence", "quality"]]


@pytest.mark.parametrize("keep_order", [True, False])
@pytest.mark.parametrize("streams", SELECTIONS)
def test_every_stream_selection(streams, keep_order):
    records = genome_reads(300, seed=21, n_runs=0.3)
    archive = reordered_archive(records, keep_order=keep_order, block_reads=100)
    full = records_of(_zelk.decompress_to_bytes(archive))
    got = [(r.name, r.sequence, r.quality) for r in _zelk.open(archive, streams=streams, threads=2)]
    expected = [(n if "names" in streams else b"", s if "sequence" in streams else b"",
                 q if "quality" in streams else b"") for n, s, q in full]
    assert got == expected


def corrupt_section(archive, label_index, offset=0):
    """Flips a payload byte of the label_index-th framed slice (0: flip
    bitmap) of an archive with a 25-byte header."""
    data = bytearray(archive)
    pos = 25 + 8
    slices = 0
    while True:
        if slices == 3 and label_index > 3:
            pos += 4  # the block count
        length = struct.unpack_from("<I", data, pos)[0]
        if slices == label_index:
            data[pos + 8 + offset] ^= 0x55
            return bytes(data)
        pos += 8 + length
        slices += 1


def test_corrupt_quality_block_fails_full_decode_but_not_a_selective_one():
    records = genome_reads(200, seed=2)
    archive = reordered_archive(records, block_reads=100)
    # slices: flips, permutation, template, 2 sequence blocks, then names 0, quality 0
    damaged = corrupt_section(archive, 6, offset=20)
    message = "corrupted zelk data: reorder quality block 0 (crc mismatch)"
    for call in (lambda: _zelk.decompress_to_bytes(damaged), lambda: _zelk.verify(damaged),
                 lambda: list(_zelk.open(damaged))):
        with pytest.raises(_zelk.ZelkError) as raised:
            call()
        assert str(raised.value) == message
    assert _zelk.decompress_to_bytes(damaged, fasta=True) == _zelk.decompress_to_bytes(archive, fasta=True)
    names_and_bases = [(r.name, r.sequence) for r in _zelk.open(damaged, streams=["names", "sequence"])]
    assert names_and_bases == [(n, s) for n, s, _ in records]


def test_wrong_output_digest_is_found_after_every_record(tmp_path):
    records = genome_reads(120, seed=4)
    archive = bytearray(reordered_archive(records))
    archive[-1] ^= 1  # last byte of the digest payload; fix its slice CRC
    digest_payload = bytes(archive[-8:])
    archive[-12:-8] = struct.pack("<I", writer.crc32c(digest_payload))
    archive = bytes(archive)
    message = "corrupted zelk data: reorder output digest (crc mismatch)"
    dest = tmp_path / "out.fq"
    with pytest.raises(_zelk.ZelkError, match=r"^corrupted zelk data: reorder output digest \(crc mismatch\)$"):
        _zelk.decompress_to_path(archive, dest)
    assert dest.read_bytes() == fastq_text(records)
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.verify(archive)
    assert str(raised.value) == message
    assert _zelk.decompress_to_bytes(archive, fasta=True).count(b">") == 120
    reader = _zelk.open(archive)
    assert [next(reader).name for _ in range(120)] == [n for n, _, _ in records]
    with pytest.raises(_zelk.ZelkError, match="reorder output digest"):
        next(reader)


# Hand-made sections ---------------------------------------------------------

def rans(data):
    return writer.rans_encode_best(bytes(data))


def varints(values):
    return b"".join(varint(v) for v in values)


def zigzag(value):
    return value * 2 if value >= 0 else -value * 2 - 1


def stream(data):
    return varint(len(data)) + data


def block(version, n, ops, anchors=(), offsets=(), lengths=(), counts=(), positions=(), subs=b"", novel=b"",
          literals=(), raw=None):
    """A sequence block from its stream contents; `raw` replaces coded streams by name."""
    raw = raw or {}
    coded = {"ops": rans(ops), "anchors": rans(varints(anchors)), "offsets": rans(varints(offsets)),
             "lengths": rans(varints(lengths)), "counts": rans(varints(counts)),
             "positions": rans(varints(positions)), "subs": rans(subs),
             "novel": rans(novel) if version == 4 else writer.encode_sequences([novel] if novel else []),
             "literals": writer.encode_sequences(list(literals))}
    coded.update(raw)
    order = ["ops"] + (["anchors"] if version != 2 else []) + ["offsets", "lengths", "counts", "positions",
                                                                "subs", "novel"]
    if version != 4:
        order.append("literals")
    return bytes([version]) + varint(n) + b"".join(stream(coded[name]) for name in order)


def decode_block(payload, reference=None):
    return writer.decode_reorder_block(payload, reference=reference)


def block_error(payload, text, reference=None):
    with pytest.raises(_zelk.ZelkError) as raised:
        decode_block(payload, reference)
    assert str(raised.value) == "malformed clustered stream: " + text


def test_version_2_consensus_grows_and_votes():
    payload = block(2, 5, [2, 1, 1, 0, 1],
                    offsets=[zigzag(2), 0, zigzag(-2)], lengths=[6, 4, 4], counts=[0, 1, 1],
                    positions=[1, 0], subs=b"TG", novel=b"TTAA", literals=[b"ACGT"])
    # literal ACGT; GT + novel TTAA = GTTTAA (cluster ACGTTTAA); at 2 with
    # position 1 changed: GTTT -> GTTT (sub T on T... ) as written below
    reads = decode_block(payload)
    assert reads[0] == b"ACGT"
    assert reads[1] == b"GTTTAA"
    # offset 2 again: consensus GTTT, substitution at 1 -> T (unchanged)
    assert reads[2] == b"GTTT"
    assert reads[3] == reads[2]
    # back to offset 0: ACGT with a substitution at 0: G. Column 0 holds A=1,
    # G=0 before, so the consensus there stays A for later reads.
    assert reads[4] == b"GCGT"


def test_substitution_changes_consensus_only_when_counts_favour_it():
    # Literal A, then two reads that put C at column 0: the tie after the
    # first keeps A (lower index), the second makes C the consensus.
    payload = block(2, 4, [2, 1, 1, 1], offsets=[0, 0, 0], lengths=[1, 1, 1], counts=[1, 1, 0],
                    positions=[0, 0], subs=b"CC", literals=[b"A"])
    assert decode_block(payload) == [b"A", b"C", b"C", b"C"]
    tie = block(2, 3, [2, 1, 1], offsets=[0, 0], lengths=[1, 1], counts=[1, 0], positions=[0], subs=b"C",
                literals=[b"A"])
    assert decode_block(tie) == [b"A", b"C", b"A"]


def test_n_in_literal_is_consensus_until_a_base_is_counted():
    payload = block(2, 3, [2, 1, 1], offsets=[0, 0], lengths=[3, 3], counts=[1, 0], positions=[1], subs=b"G",
                    literals=[b"ANA"])
    assert decode_block(payload) == [b"ANA", b"AGA", b"AGA"]
    covered_n = block(2, 3, [2, 1, 1], offsets=[0, 0], lengths=[3, 3], counts=[1, 0], positions=[1], subs=b"N",
                      literals=[b"ACA"])
    assert decode_block(covered_n) == [b"ACA", b"ANA", b"ACA"]


def test_version_3_back_references_name_clusters_from_the_newest():
    payload = block(3, 4, [2, 2, 1, 1], anchors=[0, 1], offsets=[zigzag(1), zigzag(2)], lengths=[3, 2],
                    counts=[0, 0], novel=b"", literals=[b"AAAA", b"CCCC"])
    assert decode_block(payload) == [b"AAAA", b"CCCC", b"CCC", b"AA"]  # the last: offset 2 of AAAA
    with pytest.raises(_zelk.ZelkError):
        decode_block(payload[:-3])


def test_version_3_read_past_consensus_takes_novel_tail():
    payload = block(3, 2, [2, 1], anchors=[0], offsets=[zigzag(3)], lengths=[5], counts=[0], novel=b"GGTT",
                    literals=[b"ACGT"])
    assert decode_block(payload) == [b"ACGT", b"TGGTT"]


def test_version_4_codes_against_contigs():
    reference = [b"ACGTACGTAA", b"GGGGCCCC"]
    payload = block(4, 4, [1, 1, 0, 1], anchors=[zigzag(1), zigzag(-1), 0], offsets=[zigzag(2), zigzag(8), 0],
                    lengths=[4, 4, 4], counts=[1, 0, 0], positions=[3], subs=b"A", novel=b"TTTT")
    # contig 1 at 2 with a substitution; contig 0 at its end (all novel);
    # a copy; contig 0 again, its own running offset kept
    assert decode_block(payload, reference) == [b"GGCA", b"AATT", b"AATT", b"AATT"]
    block_error(payload, "version-4 block without reference")


def test_empty_block_decodes_to_no_reads():
    for version in (2, 3):
        assert decode_block(block(version, 0, [])) == []
    assert decode_block(block(4, 0, []), [b"A"]) == []


@pytest.mark.parametrize("payload,text", [
    (b"", "unsupported version"),
    (b"\x05\x00", "unsupported version"),
    (b"\x02" + varint(0x4000001), "read count exceeds decode limit"),
    (b"\x02\x80", "varint too long"),
    (b"\x02\x01\x40", "truncated"),
    (block(2, 1, [0]), "MATCH with no previous"),
    (block(2, 2, [2], literals=[b"A"]), "op underrun"),
    (block(2, 1, [3]), "unknown op"),
    (block(2, 1, [2]), "lit len underrun"),
    (block(3, 1, [1], anchors=[0], offsets=[0], lengths=[1], counts=[0], novel=b"A"),
     "contig back-reference out of range"),
    (block(2, 2, [2, 1], offsets=[zigzag(-1)], lengths=[1], counts=[0], literals=[b"A"]), "bad contig offset"),
    (block(2, 2, [2, 1], offsets=[zigzag(2)], lengths=[1], counts=[0], literals=[b"A"]),
     "contig offset past reference"),
    (block(2, 2, [2, 1], offsets=[0], lengths=[0x1000001], literals=[b"A"]), "read length implausibly large"),
    (block(2, 2, [2, 1], offsets=[0], lengths=[1], counts=[1], positions=[1], subs=b"G", literals=[b"A"]),
     "mismatch position out of range"),
    (block(2, 2, [2, 1], offsets=[0], lengths=[1], counts=[2], positions=[0, 0], subs=b"G", literals=[b"A"]),
     "subs underrun"),
    (block(2, 2, [2, 1], offsets=[0], lengths=[2], counts=[0], literals=[b"A"]), "novel underrun"),
    (block(2, 2, [2, 1], offsets=[0], lengths=[1], literals=[b"A"]), "varint too long"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_block_errors(payload, text):
    block_error(payload, text)


@pytest.mark.parametrize("payload,text", [
    (block(4, 1, [1], anchors=[zigzag(-1)], offsets=[0], lengths=[1], counts=[0]), "bad contig id"),
    (block(4, 1, [1], anchors=[zigzag(2)], offsets=[0], lengths=[1], counts=[0]), "contig id out of range"),
    (block(4, 1, [2]), "unknown op"),
    (block(4, 1, [1], anchors=[0], offsets=[zigzag(2)], lengths=[2], counts=[0]), "tail underrun"),
], ids=lambda value: value if isinstance(value, str) else "")
def test_version_4_errors(payload, text):
    block_error(payload, text, reference=[b"AC", b"GT"])


def test_block_stream_codec_errors_keep_their_own_text():
    bad_rans = block(2, 1, [2], raw={"ops": b"\x00" + struct.pack("<Q", 5)}, literals=[b"A"])
    with pytest.raises(_zelk.ZelkError, match="^malformed rANS stream: "):
        decode_block(bad_rans)
    too_long = block(2, 1, [2, 2], literals=[b"A"])  # two ops for one read: above the bound N
    with pytest.raises(_zelk.ZelkError, match="^malformed rANS stream: rANS output length exceeds caller bound$"):
        decode_block(too_long)


def read_varints(data):
    values, value, shift = [], 0, 0
    for byte in data:
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            values.append(value)
            value, shift = 0, 0
    return values


def block_ops_and_anchors(payload):
    """The ops and the version-3 cluster back-references of a block."""
    assert payload[0] == 3
    pos, streams = 1, []
    count = read_varints(payload[1:6])[0]
    pos += len(varint(count))
    for _ in range(2):
        length = read_varints(payload[pos:pos + 10])[0]
        pos += len(varint(length))
        streams.append(payload[pos:pos + length])
        pos += length
    ops = writer.rans_decode(streams[0], count)
    return list(ops), read_varints(writer.rans_decode(streams[1], 10 * count))


def test_block_encoder_returns_to_a_cluster_a_later_read_is_anchored_on():
    # The encoder lets go of clusters no later read can use; one that a
    # hint still points to must stay, however many clusters came between.
    rng = random.Random(31)
    first = bytes(rng.choice(b"ACGT") for _ in range(80))
    others = [bytes(rng.choice(b"ACGT") for _ in range(80)) for _ in range(60)]
    back = first[10:] + b"GATTACAGATTA"
    reads = [first] + others + [back]
    hints = [(None,)] * 61 + [(0, 10)]
    ops, anchors = block_ops_and_anchors(writer.encode_reorder_block(reads, version=3, hints=hints))
    assert ops == [2] * 61 + [1] and anchors == [60]
    assert decode_block(writer.encode_reorder_block(reads, version=3, hints=hints)) == reads
    # Without the hint nothing leads back: the read starts a cluster.
    ops, anchors = block_ops_and_anchors(writer.encode_reorder_block(reads, version=3))
    assert ops == [2] * 62 and anchors == []


def test_block_encoder_round_trips_with_and_without_hints():
    rng = random.Random(9)
    reads = [bytes(rng.choice(b"ACGTN") for _ in range(rng.randrange(0, 60))) for _ in range(300)]
    reads += [reads[-1]] * 3
    for version in (2, 3):
        assert decode_block(writer.encode_reorder_block(reads, version=version)) == reads
    contig = bytes(rng.choice(b"ACGT") for _ in range(500))
    on_contig = [contig[i:i + 50] for i in range(0, 450, 7)]
    hints = [(None, 0, 0, i) for i in range(0, 450, 7)]
    coded = writer.encode_reorder_block(on_contig + [b"GATTACA"], version=4, reference=[b"", contig],
                                        hints=[(None, 0, 1, o) for _, _, _, o in hints] + [(None,)])
    assert decode_block(coded, [b"", contig]) == on_contig + [b"GATTACA"]
    with pytest.raises(_zelk.ZelkError, match="version-4 block without reference"):
        writer.encode_reorder_block(on_contig, version=4)


# Hand-made layouts --------------------------------------------------------

def digest_slice(records, count):
    import xxhash
    digest = xxhash.xxh3_64()
    for name, sequence, quality in records:
        digest.update(struct.pack("<I", len(name)) + name + struct.pack("<I", len(sequence)) + sequence + quality)
    digest.update(struct.pack("<Q", count))
    return struct.pack("<Q", digest.intdigest())


def layout(reads, flips=b"", permutation=b"", template=b"", blocks=(), pairs=(), digest=None, flags=0x08):
    body = struct.pack("<Q", reads)
    for payload in (flips, permutation, template):
        body += writer.framed_slice(payload)
    body += struct.pack("<I", len(blocks)) + b"".join(writer.framed_slice(b) for b in blocks)
    for names, qualities in pairs:
        body += writer.framed_slice(names) + writer.framed_slice(qualities)
    body += writer.framed_slice(digest if digest is not None else b"\0" * 8)
    return writer.encode_header(flags=flags) + body


def simple_layout(sequences, qualities, names, flips=b"", **options):
    seq_block = writer.encode_reorder_block(sequences, version=2)
    pair = (writer.encode_names(names), writer.encode_qualities(qualities))
    return layout(len(sequences), flips=flips, blocks=[seq_block], pairs=[pair], **options)


def layout_error(archive, text):
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.decompress_to_bytes(archive)
    assert str(raised.value) == text


def test_empty_layout_digest_is_of_the_zero_count():
    archive = layout(0, digest=digest_slice([], 0))
    assert _zelk.decompress_to_bytes(archive) == b""
    _zelk.verify(archive)
    assert list(_zelk.open(archive)) == []
    layout_error(layout(0, digest=b"\0" * 8), "corrupted zelk data: reorder output digest (crc mismatch)")
    layout_error(layout(0, digest=b"\0" * 7), "malformed zelk block: reorder output digest length")
    assert _zelk.decompress_to_bytes(layout(0, digest=b"\0" * 7), fasta=True) == b""


def test_blocks_of_one_archive_may_differ_in_version():
    sequences = [b"ACGTACGTTT", b"ACGTACGTTA", b"GGGGCCCCAA", b"GGGGCCCCAT"]
    qualities = [b"I" * 10] * 4
    names = [b"a", b"b", b"c", b"d"]
    blocks = [writer.encode_reorder_block(sequences[:2], version=2),
              writer.encode_reorder_block(sequences[2:], version=3)]
    pair = (writer.encode_names(names), writer.encode_qualities(qualities))
    records = list(zip(names, sequences, qualities))
    empty_pair = (writer.encode_names([]), writer.encode_qualities([]))  # pairs need not follow the blocks' split
    archive = layout(4, blocks=blocks, pairs=[pair, empty_pair], digest=digest_slice(records, 4))
    assert records_of(_zelk.decompress_to_bytes(archive)) == records
    _zelk.verify(archive)


def test_version_3_blocks_are_coded_as_version_2_where_that_is_smaller():
    # Blocks where reads seldom return to an older cluster do not pay for
    # version 3's back-references.
    records = untemplated(genome_reads(1500, genome_length=3000))
    for requested, allowed in ((3, {2, 3}), (2, {2})):
        archive = reordered_archive(records, reorder_version=requested, block_reads=600)
        versions = {block[0] for block in stored_sections(archive)[3]}
        assert versions <= allowed and 2 in versions
        assert _zelk.decompress_to_bytes(archive) == fastq_text(records)


def test_flipped_read_in_stored_order_reverses_sequence_and_quality():
    sequences = [b"AACGN", b"GGTCA"]
    qualities = [b"ABCDE", b"FGHIJ"]
    emitted = [(b"a", b"NCGTT", b"EDCBA"), (b"b", b"GGTCA", b"FGHIJ")]
    archive = simple_layout(sequences, qualities, [b"a", b"b"], flips=b"\x01", digest=digest_slice(emitted, 2))
    assert records_of(_zelk.decompress_to_bytes(archive)) == emitted
    # A flip bitmap shorter than the reads: the rest are not flipped.
    assert [r.sequence for r in _zelk.open(archive, streams="sequence")] == [b"NCGTT", b"GGTCA"]


def test_keep_order_places_sequences_through_the_permutation():
    sequences = [b"AAAA", b"CC", b"GGG"]  # stored order
    positions = [2, 0, 1]  # stored read i goes to output position p(i)
    planes = bytes(positions) + bytes(9)
    qualities = [b"II", b"JJJ", b"KKKK"]  # output order
    emitted = [(b"x", b"CC", b"II"), (b"y", b"GGG", b"JJJ"), (b"z", b"TTTT", b"KKKK")]
    archive = simple_layout(sequences, qualities, [b"x", b"y", b"z"], flips=b"\x01",
                            permutation=writer.rans_encode_best(planes), flags=0x0C,
                            digest=digest_slice(emitted, 3))
    assert records_of(_zelk.decompress_to_bytes(archive)) == emitted
    for bad_planes, text in [(bytes([3, 0, 1]) + bytes(9), "permutation out of range"),
                             (bytes(11), "permutation length mismatch")]:
        damaged = simple_layout(sequences, qualities, [b"x", b"y", b"z"],
                                permutation=writer.rans_encode_best(bad_planes), flags=0x0C)
        layout_error(damaged, "malformed zelk block: " + text)
    layout_error(simple_layout(sequences, qualities, [b"x", b"y", b"z"], permutation=b"\x07junk", flags=0x0C),
                 "malformed zelk block: bad permutation")


def test_template_names_and_its_conflict_with_keep_order():
    template = writer.encode_name_template([b"cell", (5, 3)])
    emitted = [(b"cell005", b"AC", b"II"), (b"cell006", b"GT", b"JJ")]
    archive = layout(2, template=template, blocks=[writer.encode_reorder_block([b"AC", b"GT"], version=2)],
                     pairs=[(b"", writer.encode_qualities([b"II", b"JJ"]))], digest=digest_slice(emitted, 2))
    assert records_of(_zelk.decompress_to_bytes(archive)) == emitted
    conflict = layout(2, template=template, flags=0x0C)
    layout_error(conflict, "malformed zelk block: reorder name template cannot be combined with keep_order")
    layout_error(layout(1, template=b"\x01\x07"), "malformed name stream: bad name-template column tag")


def test_stream_counts_and_lengths_must_agree():
    three = simple_layout([b"A", b"C", b"G"], [b"I", b"I", b"I"], [b"a", b"b", b"c"])
    layout_error(simple_layout([b"A", b"C"], [b"I", b"I", b"I"], [b"a", b"b", b"c"]),
                 "malformed zelk block: reordered stream length disagreement")
    wrong_length = simple_layout([b"A", b"CC", b"G"], [b"I", b"I", b"I"], [b"a", b"b", b"c"])
    layout_error(wrong_length, "malformed zelk block: reordered sequence length mismatch")
    assert [r.sequence for r in _zelk.open(wrong_length, streams="sequence")] == [b"A", b"CC", b"G"]
    assert _zelk.decompress_to_bytes(three, fasta=True) == b">a\nA\n>b\nC\n>c\nG\n"
    # N is checked against what the blocks hold before anything is reserved
    # for it; no block holds more than 2**26 reads.
    for reads, blocks in ((2 ** 62, [writer.encode_reorder_block([b"A"], version=2)]), (2 ** 26 + 1, [])):
        with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: reordered stream length disagreement$"):
            list(_zelk.open(layout(reads, blocks=blocks, pairs=[(b"", b"")] * len(blocks)), streams=[]))
    layout_error(layout(2 ** 40, blocks=[writer.encode_reorder_block([b"A"], version=2)],
                        pairs=[(writer.encode_names([b"a"]), writer.encode_qualities([b"I"]))]),
                 "malformed zelk block: reordered stream length disagreement")


def test_section_crc_and_truncation_errors():
    archive = simple_layout([b"A"], [b"I"], [b"a"])
    for index, label in enumerate(["reorder flip bitmap", "reorder permutation", "reorder name template",
                                   "reorder sequence block 0", "reorder name block 0",
                                   "reorder quality block 0", "reorder output digest"]):
        damaged = bytearray(archive)
        pos = 33
        for _ in range(index):
            pos += 8 + struct.unpack_from("<I", damaged, pos)[0] + (4 if _ == 2 else 0)
        damaged[pos + 4] ^= 1  # the stored CRC
        with pytest.raises(_zelk.ZelkError) as raised:
            _zelk.verify(bytes(damaged))
        assert str(raised.value) == "corrupted zelk data: %s (crc mismatch)" % label
    with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
        _zelk.decompress_to_bytes(archive[:29])
    with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: framed slice length exceeds the maximum$"):
        _zelk.decompress_to_bytes(writer.encode_header(flags=0x08) + struct.pack("<QI", 1, 0x80000001))
    with pytest.raises(_zelk.ZelkError, match="^truncated zelk stream$"):
        _zelk.decompress_to_bytes(archive[:-3])


@pytest.mark.parametrize("method", [0, 1, 4])
@pytest.mark.parametrize("keep_order", [True, False])
def test_reference_round_trips(method, keep_order):
    records = genome_reads(500, seed=13, n_runs=0.1)
    for version in (2, 3, 4):
        archive = reordered_archive(records, reorder_version=version, reference="auto", reference_method=method,
                                    keep_order=keep_order, block_reads=200)
        assert archive[16] & 0x20
        text = _zelk.decompress_to_bytes(archive)
        if keep_order:
            assert text == fastq_text(records)
        else:
            assert_same_reads_or_renamed(text, records)
        _zelk.verify(archive)


def test_version_4_against_a_given_reference_and_without_one():
    records = genome_reads(60, seed=17)
    archive = reordered_archive(records, reorder_version=4, reference=[b"ACGT" * 30, b"", b"GATTACA"],
                                reference_method=4)
    assert _zelk.decompress_to_bytes(archive) == fastq_text(records)
    with pytest.raises(ValueError, match="^reorder_version 4 needs a reference$"):
        reordered_archive(records, reorder_version=4)
    with pytest.raises(ValueError, match="^reference_method must be 0, 1 or 4$"):
        reordered_archive(records, reference="auto", reference_method=2)


def sequence_blocks_after_reference(archive):
    """The sequence block payloads of a writer's archive with a reference."""
    pos = 25 + 8
    for _ in range(4):  # flips, permutation, template, reference
        pos += 8 + struct.unpack_from("<I", archive, pos)[0]
    blocks = struct.unpack_from("<I", archive, pos)[0]
    pos += 4
    payloads = []
    for _ in range(blocks):
        length = struct.unpack_from("<I", archive, pos)[0]
        payloads.append(archive[pos + 8:pos + 8 + length])
        pos += 8 + length
    return payloads


@pytest.mark.parametrize("options", [{}, {"keep_order": False}, {"reorder": False}])
def test_version_4_places_reads_on_the_given_contigs(options):
    rng = random.Random(23)
    contigs = [bytes(rng.choice(b"ACGT") for _ in range(n)) for n in (6000, 2500)]
    on_contigs = []
    for i in range(3000):
        contig = contigs[i % 2]
        start = rng.randrange(len(contig) - 90)
        read = bytearray(contig[start:start + 90])
        read[rng.randrange(90)] = ord("N")
        on_contigs.append(bytes(read) if i % 3 else revcomp(bytes(read)))
    strangers = [bytes(rng.choice(b"ACGT") for _ in range(90)) for _ in range(40)]
    records = untemplated([(b"", s, b"F" * 90) for s in on_contigs + strangers])
    archive = reordered_archive(records, reorder_version=4, reference=contigs, **options)
    text = _zelk.decompress_to_bytes(archive)
    if options.get("keep_order", True) and options.get("reorder", True):
        assert text == fastq_text(records)
    else:
        assert_same_reads(text, records)
    _zelk.verify(archive)
    coded = sum(len(block) for block in sequence_blocks_after_reference(archive))
    plain = _zelk.inspect(writer.write_archive(records, sequence_method=0)).sequence_bytes
    # The reads on the contigs cost their N and their place, a few bytes
    # (stored as novel bases they would cost 23); the strangers their bases;
    # each of the block's eight coded streams about 650 bytes of tables.
    assert coded < plain / 2 and coded < 8 * 650 + 3000 * 3 + 40 * 25


def test_reference_section_is_decoded_only_for_sequences():
    records = genome_reads(80, seed=19)
    archive = reordered_archive(records, reorder_version=4, reference="auto", block_reads=40)
    # slices: flips, permutation, template, reference
    damaged = corrupt_section(archive, 3, offset=1)
    with pytest.raises(_zelk.ZelkError, match=r"^corrupted zelk data: reorder global reference \(crc mismatch\)$"):
        _zelk.decompress_to_bytes(damaged)
    with pytest.raises(_zelk.ZelkError, match="reorder global reference"):
        list(_zelk.open(damaged, streams="sequence"))
    got = [(r.name, r.quality) for r in _zelk.open(damaged, streams=["names", "quality"])]
    assert got == [(n, q) for n, _, q in records]
    bad_tag = reordered([b"", b"", b"", b"\x02"], [], [], reads=0, flags=0x28)
    with pytest.raises(_zelk.ZelkError, match="^malformed zelk block: reorder reference: bad method tag$"):
        _zelk.decompress_to_bytes(bad_tag + writer.framed_slice(b"\0" * 8))
    # A decode that wants no bases skips the reference unread.
    assert list(_zelk.open(bad_tag + writer.framed_slice(b"\0" * 8), streams="names")) == []


def test_writer_refuses_what_the_layout_cannot_store():
    records = genome_reads(5)
    for options, text in [({"reorder_version": 5}, "reorder_version must be 2, 3 or 4"),
                          ({"quality_mode": 1}, "mode 0 only"),
                          ({"layout": "columns"}, "layout must be 'plain' or 'reordered'"),
                          ({"name_template": "yes"}, "name_template must be 'auto' or None")]:
        with pytest.raises(ValueError, match=text):
            writer.write_archive(records, **{"layout": "reordered", **options})
    with pytest.raises(ValueError, match="sequence length 2 but quality length 1"):
        reordered_archive([(b"r", b"AC", b"I")])
    assert writer.write_archive(records, layout="plain") == writer.write_archive(records)
