import gzip
import math

import pytest

import _zelk
import _zelk_writer as writer
from conftest import SHARED_DATA


def fastq(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % r for r in records)


def reads(names, length=20, quality=b"I"):
    return [(name, b"ACGT" * (length // 4), quality * (length // 4 * 4)) for name in names]


ILLUMINA_NAMES = [b"ST-E00493:56:H33MFALXX:4:1101:%d:%d 1:N:0:NACAACCA" % (i, i + 7) for i in range(16)]
NANOPORE_NAMES = [b"0e1f2a3b-4c5d-6e7f-8091-a2b3c4d5e6f%d runid=abc" % (i % 10) for i in range(16)]
PACBIO_NAMES = [b"m54026_161022_123437/%d/ccs" % (4194492 + i) for i in range(16)]
MGI_NAMES = [b"V300012345L1C001R0010000%d/1" % i for i in range(16)]


@pytest.mark.parametrize("names, platform", [
    (ILLUMINA_NAMES, "illumina"),
    ([b"HWI-EAS88_1_1_1_1001_499"], "unknown"),
    ([b"ERR127302.8493430 HWI-EAS350_0441:1:34:16191:2123#0/1"], "unknown"),
    ([b"HWI-EAS350_0441:1:34:16191:2123#0/1"], "illumina"),
    (NANOPORE_NAMES, "nanopore"),
    ([b"read7 ch=12 start_time=2020"], "nanopore"),
    (PACBIO_NAMES, "pacbio"),
    ([b"m130727_0/570/ccs"], "pacbio"),
    (MGI_NAMES, "mgi"),
    ([b"/1"], "unknown"),
    (ILLUMINA_NAMES[:8] + NANOPORE_NAMES[:8], "illumina"),  # a tie goes to Illumina
    (NANOPORE_NAMES[:9] + ILLUMINA_NAMES[:7], "nanopore"),
])
def test_platform_detection_from_names(names, platform):
    assert _zelk.estimate(fastq(reads(names))).platform == platform


@pytest.mark.parametrize("quality, platform", [(b"B", "pacbio"), (b"+", "nanopore"), (b"?", "unknown")])
def test_platform_from_long_read_qualities(quality, platform):
    records = reads([b"x%d" % i for i in range(4)], length=600, quality=quality)
    assert _zelk.estimate(fastq(records)).platform == platform


@pytest.mark.parametrize("path, platform", [
    ("illumina/hiseqx_seqkit_10k.fastq", "illumina"),
    ("illumina/miseq_dada2_sam1_R1.fastq", "illumina"),
    ("ont/cdna_seqkit_pcs109_5k.fastq", "nanopore"),
    ("ont/dna_qcat_barcode_1k.fastq", "nanopore"),
    ("pacbio/ccs_sequel_dada2_16s.fastq", "pacbio"),
])
def test_platform_detection_on_real_files(path, platform):
    full = SHARED_DATA / path
    if not full.exists():
        pytest.skip("shared data not available")
    assert _zelk.estimate(str(full), sample_reads=2000).platform == platform


def test_empty_input():
    estimate = _zelk.estimate(b"")
    assert (estimate.sample_reads, estimate.archive_bytes, estimate.exhausted, estimate.platform) == (
        0, 0, True, "unknown")
    assert estimate.ratio == 0.0
    assert repr(estimate) == "Estimate(sample_reads=0, archive_bytes=0, ratio=0.000, exhausted=true)"


def test_counts_caps_and_raw_bytes():
    records = reads([b"r%d desc" % i for i in range(10)])
    data = fastq(records)
    full = _zelk.estimate(data)
    assert (full.sample_reads, full.sample_bases, full.exhausted) == (10, 200, True)
    assert full.raw_bytes == len(data)
    assert full.archive_bytes == full.names_bytes + full.sequence_bytes + full.quality_bytes + 52
    assert full.ratio == pytest.approx(full.raw_bytes / full.archive_bytes)
    exact = _zelk.estimate(data, sample_reads=10)
    assert (exact.sample_reads, exact.exhausted) == (10, False)
    assert _zelk.estimate(data, sample_reads=0).sample_reads == 1


def test_crlf_tabs_and_plus_line_text_do_not_change_the_counts():
    plain = b"@r1 d\nACGT\n+\nIIII\n"
    other = b"@r1\td\r\nACGT\r\n+r1 d\r\nIIII\r\n"
    a, b = _zelk.estimate(plain), _zelk.estimate(other)
    assert (a.raw_bytes, a.names_bytes, a.archive_bytes) == (b.raw_bytes, b.names_bytes, b.archive_bytes)


def test_gzip_and_bgzf_match_plain(tmp_path):
    records = reads([b"read%d" % i for i in range(500)], length=60)
    data = fastq(records)
    half = len(data) // 2
    members = gzip.compress(data[:half]) + gzip.compress(data[half:]) + gzip.compress(b"")
    path = tmp_path / "x.fq.gz"
    path.write_bytes(members)
    expected = repr(_zelk.estimate(data)), _zelk.estimate(data).names_bytes
    for source in (members, str(path), gzip.compress(data)):
        got = _zelk.estimate(source)
        assert (repr(got), got.names_bytes) == expected


@pytest.mark.parametrize("data, text", [
    (b"ACGT\n", "invalid name prefix"),
    (b"@r\nACGT\n-\nIIII\n", "invalid description prefix"),
    (b"\x1f\x8bnot really gzip", "invalid gzip header"),
])
def test_input_errors_are_os_errors(data, text):
    with pytest.raises(OSError, match=text):
        _zelk.estimate(data)


def test_corrupt_gzip_checksum():
    data = bytearray(gzip.compress(fastq(reads([b"a"]))))
    data[-8] ^= 0xFF
    with pytest.raises(OSError, match="corrupt gzip stream does not have a matching checksum"):
        _zelk.estimate(bytes(data))


def test_quality_length_mismatch_is_rejected():
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.estimate(b"@r\nACGT\n+\nIII\n")
    assert str(raised.value) == "invalid FASTQ: sequence length 4 but quality length 3 (must be equal)"


def test_groups():
    illumina = fastq(reads(ILLUMINA_NAMES))
    unknown = fastq(reads([b"x%d" % i for i in range(16)]))
    nanopore = fastq(reads(NANOPORE_NAMES))
    group = _zelk.estimate([illumina, unknown])
    single = _zelk.estimate(illumina)
    assert group.platform == "illumina"
    assert group.sample_reads == 32
    assert _zelk.estimate((illumina,)).archive_bytes == single.archive_bytes
    with pytest.raises(_zelk.ZelkError) as raised:
        _zelk.estimate([illumina, nanopore])
    assert str(raised.value) == ("grouped sources span multiple platforms (Illumina and Oxford Nanopore); "
                                 "estimate a single archive's mates together, not different datasets")
    with pytest.raises(ValueError, match="^estimate\\(\\) requires at least one source$"):
        _zelk.estimate([])
    with pytest.raises(TypeError, match="source must be bytes, a str path, or an os.PathLike"):
        _zelk.estimate([illumina, 3])


def test_group_budget_is_split():
    data = fastq(reads([b"r%d" % i for i in range(100)]))
    assert _zelk.estimate([data, data], sample_reads=60).sample_reads == 60


@pytest.mark.parametrize("name", ["LOSSLESS", "None", "Hifi", "bin8", "bin4", "bin2", "ont"])
def test_binning_names(name):
    _zelk.estimate(fastq(reads([b"r"])), quality_binning=name)


def test_unknown_binning_text():
    with pytest.raises(ValueError) as raised:
        _zelk.estimate(b"", quality_binning="Bin3\n")
    assert str(raised.value) == ('unknown quality_binning "bin3\\n"; expected lossless, bin8, bin4, bin2, '
                                 'ont, or hifi')


def order_k_bits(sequences, k):
    """Independent order-k entropy of the sequence model, in bits."""
    counts, other = {}, 0
    for seq in sequences:
        ctx = 0
        for base in seq:
            code = b"ACGT".find(bytes([base]).upper())
            if code < 0:
                other += 1
                continue
            i = ctx * 4 + code
            counts[i] = counts.get(i, 0) + 1
            ctx = i % (4 ** k)
    bits = 0.0
    for c in {i // 4 for i in counts}:
        row = [counts.get(c * 4 + j, 0) for j in range(4)]
        t = sum(row)
        bits += sum(n * (math.log2(t) - math.log2(n)) for n in row if n)
    return bits + 8 * other


def test_short_read_sequence_size_matches_an_independent_model(shared_fastq):
    records = shared_fastq("illumina/hiseqx_seqkit_10k.fastq", 400)
    data = fastq(records)
    for level, k in ((0, 6), (1, 7), (2, 8)):
        expected = math.ceil(0.125 * order_k_bits([r[1] for r in records], k) * 0.86)
        assert _zelk.estimate(data, level=level).sequence_bytes == expected
    assert _zelk.estimate(data, level=2).archive_bytes == _zelk.estimate(data, level=255).archive_bytes


def test_quality_size_matches_an_independent_model():
    records = [(b"r%d" % i, b"A" * 30, bytes(33 + (i * j) % 40 for j in range(30))) for i in range(50)]
    counts = {}
    for _, _, quality in records:
        prev = 0
        for q in quality:
            counts[(prev, q)] = counts.get((prev, q), 0) + 1
            prev = q
    bits = 0.0
    for prev in {p for p, _ in counts}:
        row = [n for (p, _), n in counts.items() if p == prev]
        t = sum(row)
        bits += sum(n * (math.log2(t) - math.log2(n)) for n in row)
    assert _zelk.estimate(fastq(records)).quality_bytes == math.ceil(0.125 * bits * 0.94)


def test_long_reads_of_only_n_cost_eight_bits_a_base(capfd, monkeypatch):
    monkeypatch.setenv("ZELK_ESTIMATE_DEBUG", "")
    records = [(b"x%d" % i, b"N" * 800, b"?" * 800) for i in range(3)]  # Phred 30: no platform
    estimate = _zelk.estimate(fastq(records))
    assert estimate.sequence_bytes == 3 * 800
    err = capfd.readouterr().err
    assert err == ("[est dbg] long-read seq: platform=Unknown bases=2400 dup=0.0000 H_k=8.0000 "
                   "R=0.20 -> blended=8.0000 b/base\n")


def test_mean_of_exactly_500_takes_the_short_read_path(capfd, monkeypatch):
    monkeypatch.setenv("ZELK_ESTIMATE_DEBUG", "1")
    _zelk.estimate(fastq([(b"x", b"ACGT" * 125, b"I" * 500)]))
    assert capfd.readouterr().err == ""


def test_names_size_is_the_real_encoder_output():
    records = reads([b"read%d extra" % i for i in range(30)])
    assert _zelk.estimate(fastq(records)).names_bytes == len(writer.encode_names([r[0] for r in records]))
