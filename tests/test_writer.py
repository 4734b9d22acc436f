import collections
import gzip

import pytest

import _zelk
import _zelk_writer as writer
import zelk
from reads import mutate, random_bases, revcomp

ILLUMINA = "illumina/hiseq2500_seqkit_R1.fastq"


def fastq(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % r for r in records)


def test_compress_plain_and_gzip_round_trip(shared_fastq, tmp_path):
    records = shared_fastq(ILLUMINA, 1500)
    text = fastq(records)
    for name, data in (("plain.fq", text), ("packed.fq.gz", gzip.compress(text))):
        source = tmp_path / name
        source.write_bytes(data)
        dest = tmp_path / (name + ".zelk")
        assert zelk.compress(source, dest, block_reads=400) == 1500
        assert _zelk.decompress_to_bytes(dest) == text
        _zelk.verify(dest)
        info = _zelk.inspect(dest)
        assert (info.reads, info.blocks, info.platform) == (1500, 4, "Illumina")


def test_fastq_input_matches_an_independent_parser(shared_fastq):
    from conftest import SHARED_DATA

    records = shared_fastq(ILLUMINA)
    for wrapped in (False, True):
        assert list(writer.FastqInput(str(SHARED_DATA / ILLUMINA), wrapped=wrapped)) == records


def test_header_options_reach_the_header():
    archive = writer.write_archive([(b"a", b"AC", b"II")], platform=3, members=2, labels=[b"R1", b"R2"],
                                   flags=0x01, quality_binning=2)
    info = _zelk.inspect(archive)
    assert (info.platform, info.group_size, info.member_labels) == ("PacBio", 2, ["R1", "R2"])
    assert (info.plus_normalized, info.quality_binning) == (True, 2)


@pytest.mark.parametrize("kwargs, text", [
    ({"labels": [b"R1"], "members": 2}, "labels must name every member"),
    ({"labels": [b"x" * 16]}, "each label must be 1 to 15 bytes"),
    ({"sequence_method": 5}, "unsupported zelk sequence codec method 5; upgrade zelk"),
])
def test_bad_options_are_value_errors(kwargs, text):
    with pytest.raises(ValueError) as raised:
        writer.write_archive([(b"a", b"AC", b"II")], **kwargs)
    assert str(raised.value) == text


def test_records_must_be_triples_of_equal_lengths():
    with pytest.raises(ValueError, match="invalid FASTQ: sequence length 2 but quality length 1"):
        writer.write_archive([(b"a", b"AC", b"I")])
    with pytest.raises(ValueError, match="triple"):
        writer.write_archive([(b"a", b"AC")])
    with pytest.raises(TypeError, match="expected bytes or str"):
        writer.write_archive([(b"a", b"AC", 2)])


@pytest.mark.parametrize("options", [
    {"quality_mode": 0}, {"quality_mode": 1}, {"quality_mode": 3}, {"quality_mode": 4},
    {"quality_mode": 5, "chunk_variant": 2, "segments": 3},
    {"sequence_order": 4, "hashed_order": 0, "table_bits": 0},
    {"sequence_order": 6, "hashed_order": 11, "table_bits": 12},
])
def test_codec_options_round_trip_real_long_reads(shared_fastq, options):
    records = shared_fastq("ont/dna_qcat_barcode_1k.fastq", 120)
    archive = writer.write_archive(records, block_reads=50, **options)
    assert [(r.name, r.sequence, r.quality) for r in _zelk.open(archive)] == records


def test_platform_is_detected_from_the_first_reads(shared_fastq):
    records = shared_fastq("ont/cdna_seqkit_pcs109_5k.fastq", 30)
    assert _zelk.inspect(writer.write_archive(records)).platform == "Oxford Nanopore"
    assert _zelk.inspect(writer.write_archive(records, platform=0)).platform == "unknown"


def test_write_archive_accepts_any_iterable():
    records = [(b"r%d" % i, b"ACGT", b"IIII") for i in range(10)]
    archive = writer.write_archive(iter(records), block_reads=3)
    assert _zelk.open_index(archive).num_groups == 4
    assert _zelk.read_names(archive) == [r[0] for r in records]


def test_fastq_lines_longer_than_the_read_buffer():
    record = (b"long", b"ACGT" * 50_000, b"I" * 200_000)
    data = fastq([record, (b"short", b"A", b"I")])
    assert list(writer.FastqInput(data, wrapped=False)) == [record, (b"short", b"A", b"I")]
    assert list(writer.FastqInput(gzip.compress(data), wrapped=False)) == [record, (b"short", b"A", b"I")]


def test_write_failures_keep_their_kind(tmp_path):
    # A full disk is the OS's error, a record the format cannot store is the
    # caller's mistake.
    source = tmp_path / "a.fastq"
    source.write_bytes(fastq([(b"r%d" % i, b"ACGT" * 50, b"I" * 200) for i in range(2000)]))
    with pytest.raises(OSError, match="No space left on device"):
        zelk.compress(source, "/dev/full")
    with pytest.raises(ValueError, match="must be equal"):
        writer.write_archive([(b"a", b"ACGT", b"II")])
    with pytest.raises(ValueError, match="symbols must be distinct"):
        writer.encode_qualities([b"II"], symbols=b"II")


def test_compress_fastq_and_read_fastq_keep_working(shared_fastq, tmp_path):
    records = shared_fastq(ILLUMINA, 700)
    text = fastq(records)
    for name, data in (("plain.fq", text), ("packed.fq.gz", gzip.compress(text))):
        source = tmp_path / name
        source.write_bytes(data)
        dest = tmp_path / (name + ".zelk")
        assert writer.compress_fastq(str(source), str(dest), block_reads=300) == 700
        assert _zelk.decompress_to_bytes(dest) == text
        assert writer.read_fastq(str(source)) == records
        assert writer.read_fastq(data) == records
    with pytest.raises(OSError, match="No space left on device"):
        writer.compress_fastq(str(source), "/dev/full")
    with pytest.raises(OSError, match="invalid description prefix"):
        writer.read_fastq(b"@a\nACGT\nIIII\n")


@pytest.mark.parametrize("level", [1, 2, 5, 9])
def test_levels_fit_any_block(level):
    # A fast level's short context still has to fit a small block.
    records = [(b"r%d" % i, (b"ACGTTGCAAG" * 2)[: 11 + i % 3], b"I" * (11 + i % 3)) for i in range(300)]
    archive = writer.write_archive(records, level=level, block_reads=64)
    assert _zelk.decompress_to_bytes(archive) == fastq(records)


def test_level_out_of_range():
    with pytest.raises(ValueError, match="level must be 1 to 9"):
        writer.write_archive([(b"a", b"A", b"I")], level=0)


def coded_stream(archive, stream):
    start, end = _zelk.open_index(archive).stream_range(0, stream)
    return archive[start:end]


def equal_share_quantizer(qualities):
    """Pairs that split the ascending symbols into 64, 8 and 4 classes of
    about equal share of the quality bytes."""
    counts = collections.Counter(b"".join(qualities))
    total, before, pairs = sum(counts.values()), 0, bytearray()
    for symbol in sorted(counts):
        own = counts[symbol]
        q0, q1, q2 = (min(k - 1, (2 * before + own) * k // (2 * total)) for k in (64, 8, 4))
        pairs += bytes([q0, q1 << 3 | q2])
        before += own
    return bytes(pairs)


def slot_class(n):
    return next(size for size in (4, 8, 16, 32, 64, 94) if n <= size)


def moved_origin_tables(alphabet, mode):
    """Symbol tables with an unused symbol below the ascending alphabet,
    one per grouping of the mode's contexts (16 offsets in mode 0, 8 in
    mode 1), keeping offsets below 64 and the frequency slot class."""
    if slot_class(len(alphabet) + 1) != slot_class(len(alphabet)):
        return []
    origins = [alphabet[0] - below for below in range(1, 16 if mode == 0 else 8)]
    return [bytes([origin]) + alphabet for origin in origins if origin >= 0 and alphabet[-1] - origin < 64]


@pytest.mark.parametrize("path, reads, origin_moves", [("illumina/nextseq_dropseq_10cells.fastq", 4000, False),
                                                       ("illumina/gaiix_shortread_ERR127302_R1.fastq", 4000, True),
                                                       ("illumina/hiseq2500_seqkit_R1.fastq", 2500, True),
                                                       ("ont/cdna_seqkit_pcs109_5k.fastq", 400, False),
                                                       ("pacbio/ccs_sequel_dada2_16s.fastq", 300, False)])
def test_levels_choose_the_quality_model_by_trial(shared_fastq, path, reads, origin_moves):
    """Each block (here within one trial sample) gets the frequency model
    by read length at the fast levels, the smaller frequency model at the
    default level, a mixing model at levels 7-8 only when it saves 4 %, and
    the smallest model at level 9. Above the fast levels the frequency
    model's offsets may start below the lowest quality."""
    records = shared_fastq(path, limit=reads)
    qualities, sequences = [r[2] for r in records], [r[1] for r in records]
    candidates = {0: {"mode": 0}, 1: {"mode": 1}, 3: {"mode": 3},
                  4: {"mode": 4, "quantizer": equal_share_quantizer(qualities)}}
    coded = {mode: writer.encode_qualities(qualities, seqs=sequences, **options)
             for mode, options in candidates.items()}
    by_read_length = coded[1 if sum(map(len, sequences)) // len(sequences) >= 1000 else 0]
    mode = min((0, 1), key=lambda mode: len(coded[mode]))
    alphabet = bytes(sorted(set(b"".join(qualities))))
    frequency = min([coded[mode]] + [writer.encode_qualities(qualities, seqs=sequences, mode=mode, symbols=table)
                                     for table in moved_origin_tables(alphabet, mode)], key=len)
    mixing = min(coded[3], coded[4], key=len)
    balanced = mixing if len(mixing) + len(frequency) * 40 // 1000 < len(frequency) else frequency
    expected = {2: by_read_length, 5: frequency, 7: balanced, 9: min(frequency, mixing, key=len)}
    for level, stream in expected.items():
        archive = writer.write_archive(records, level=level)
        assert coded_stream(archive, "quality") == stream
        assert _zelk.decompress_to_bytes(archive) == fastq(records)
    # The trial moved the origin on exactly the sets where it pays.
    assert (frequency != coded[mode]) == origin_moves


@pytest.mark.parametrize("path, reads", [("illumina/hiseqx_seqkit_10k.fastq", 3000),
                                         ("illumina/miseq_dada2_sam1_R1.fastq", 3000),
                                         ("pacbio/ccs_sequel_dada2_16s.fastq", 3000),
                                         ("ont/cdna_seqkit_pcs109_5k.fastq", 500)])
def test_levels_keep_the_smallest_of_context_model_and_copying_codecs(shared_fastq, path, reads):
    records = shared_fastq(path, limit=reads)
    sequences = [r[1] for r in records]
    lz, tiles, overlap = (writer.encode_sequences(sequences, method=method) for method in (3, 4, 1))
    full_model = writer.encode_sequences(sequences, method=0)
    # The fast levels' model: order 6, no hashed tier.
    short_model = writer.encode_sequences(sequences, method=0, order=6, hashed_order=0, table_bits=0)
    assert coded_stream(writer.write_archive(records), "sequence") == min(full_model, lz, tiles, key=len)
    # The fast levels leave out the tiles, whose aligner writes slowly.
    assert coded_stream(writer.write_archive(records, level=3), "sequence") == min(short_model, lz, key=len)
    # The thorough levels add the overlap codec's polished contigs.
    thorough = writer.write_archive(records, level=7)
    thorough_model = coded_stream(writer.write_archive(records, level=7, sequence_method=0), "sequence")
    assert coded_stream(thorough, "sequence") == min(thorough_model, lz, tiles, overlap, key=len)
    assert _zelk.decompress_to_bytes(thorough) == fastq(records)


def test_thorough_levels_place_noisy_copies_on_polished_contigs():
    """Thirty copies of each of four transcripts, on both strands, with 2 %
    substitutions, insertions and deletions each: a copy of another copy pays
    both their errors, a copy placed on the polished contig only its own."""
    records = []
    for transcript in range(4):
        bases = random_bases(2500, seed=transcript)
        for copy in range(30):
            read = mutate(bases, 0.02, seed=100 * transcript + copy)
            records.append((b"t%d.%d" % (transcript, copy), revcomp(read) if copy % 2 else read, b"5" * len(read)))
    sequences = [r[1] for r in records]
    overlap, tiles = (writer.encode_sequences(sequences, method=method) for method in (1, 4))
    assert len(overlap) < 0.8 * len(tiles)
    assert coded_stream(writer.write_archive(records, level=7), "sequence") == overlap
    assert coded_stream(writer.write_archive(records), "sequence") == tiles


@pytest.mark.parametrize("path", ["illumina/nextseq_dropseq_10cells.fastq", "ont/cdna_seqkit_pcs109_5k.fastq",
                                  "ont/dna_qcat_barcode_1k.fastq"])
def test_context_model_chosen_by_trial(shared_fastq, path):
    records = shared_fastq(path, limit=6000)
    sequences = [r[1] for r in records]
    # Without the tier, the full order or a short one, whichever is smaller.
    full, short = (writer.encode_sequences(sequences, method=0, hashed_order=0, table_bits=0, **order)
                   for order in ({}, {"order": 6}))
    plain = min(full, short, key=len)
    # The default levels keep the tier's table in the last-level cache
    # (4 MiB); the slow-decode levels may take 64 MiB.
    log2 = sum(map(len, sequences)).bit_length() - 1
    tier, large_tier = (writer.encode_sequences(sequences, method=0, hashed_order=24, table_bits=min(log2, bits))
                        for bits in (18, 22))
    pays = len(tier) * 50 < len(plain) * 49
    assert coded_stream(writer.write_archive(records, sequence_method=0), "sequence") == (tier if pays else plain)
    smallest = min(plain, large_tier, key=len)
    assert coded_stream(writer.write_archive(records, sequence_method=0, level=9), "sequence") == smallest
    # Short reads from one run repeat far beyond the order-k context;
    # Nanopore reads much less, and Nanopore DNA fills a long context too
    # thinly to beat a short one.
    assert pays == path.startswith("illumina")
    assert (plain is short) == ("dna_qcat" in path)


@pytest.mark.parametrize("level", [2, 5, 9])
def test_blocks_beyond_the_trial_sample_round_trip(shared_fastq, level):
    # The trial codes the first MiB of qualities; symbols met only after it
    # must still be in the block's table.
    records = shared_fastq("ont/cdna_seqkit_pcs109_5k.fastq", limit=2500)
    records += [(b"late", b"ACGT" * 10, b"~" * 40)]
    archive = writer.write_archive(records, level=level)
    assert _zelk.decompress_to_bytes(archive) == fastq(records)


