"""The reordered layout from the command line and the package writer:
`zelk compress --reorder`, `zelk.compress(..., layout="reordered")` and
`zelk.Writer(..., layout="reordered")`."""

import subprocess
import sys

import pytest

import _zelk
import _zelk_writer as writer
import zelk
from conftest import SHARED_DATA, read_fastq


def run(*args):
    return subprocess.run([sys.executable, "-m", "zelk", *map(str, args)], capture_output=True)


def fastq(records):
    return b"".join(b"@%s\n%s\n+\n%s\n" % record for record in records)


def shared(relative):
    path = SHARED_DATA / relative
    if not path.exists():
        pytest.skip(f"shared data {relative} not available")
    return path


def test_compress_reorder_round_trips_a_real_set_byte_for_byte(tmp_path):
    source = shared("illumina/hiseqx_seqkit_10k.fastq")
    archive, back = tmp_path / "reads.zelk", tmp_path / "back.fastq"
    done = run("compress", "--reorder", source, "-o", archive)
    assert done.returncode == 0 and done.stderr == f"zelk: 10000 reads compressed into {archive}\n".encode()
    info = _zelk.inspect(archive)
    assert (info.reads, info.reordered, info.keep_order, info.platform) == (10000, True, True, "Illumina")
    assert run("verify", "-q", archive).returncode == 0
    assert run("decompress", "-q", archive, "-o", back).returncode == 0
    assert back.read_bytes() == source.read_bytes()
    plain = tmp_path / "plain.zelk"
    assert run("compress", "-q", source, "-o", plain).returncode == 0
    assert not _zelk.inspect(plain).reordered


def test_compress_reorder_any_order_keeps_every_record(tmp_path):
    source = shared("illumina/gaiix_shortread_ERR127302_R1.fastq")
    archive = tmp_path / "any.zelk"
    assert run("compress", "-q", "--reorder", "--any-order", source, "-o", archive).returncode == 0
    info = _zelk.inspect(archive)
    assert info.reordered and not info.keep_order
    text = run("cat", archive).stdout
    assert text != source.read_bytes()  # stored order differs from the input's
    records = read_fastq(source)
    back = [(r.name, r.sequence, r.quality) for r in zelk.open(archive)]
    if info.regenerated_names:
        assert sorted(back[i][1:] for i in range(len(back))) == sorted(r[1:] for r in records)
    else:
        assert sorted(back) == sorted(records)


def test_compress_reorder_keeps_mates_and_their_labels(tmp_path):
    r1, r2 = shared("illumina/hiseq2500_seqkit_R1.fastq"), shared("illumina/hiseq2500_seqkit_R2.fastq")
    archive = tmp_path / "pair.zelk"
    assert run("compress", "-q", "--reorder", r1, r2, "-o", archive).returncode == 0
    info = _zelk.inspect(archive)
    assert (info.reordered, info.group_size, info.member_labels) == (True, 2, ["R1", "R2"])
    assert run("decompress", "-q", archive, "--split", "-o", tmp_path / "back").returncode == 0
    assert (tmp_path / "back_R1.fastq").read_bytes() == r1.read_bytes()
    assert (tmp_path / "back_R2.fastq").read_bytes() == r2.read_bytes()


def test_compress_reorder_refusals(tmp_path):
    source = tmp_path / "reads.fastq"
    source.write_bytes(fastq([(b"r1", b"ACGT", b"IIII")]))
    alone = run("compress", "--any-order", source)
    assert alone.returncode == 1 and alone.stderr == b"zelk: --any-order needs --reorder\n"
    clustered = run("compress", "--reorder", "--workers", "2", source)
    assert clustered.returncode == 1
    assert b"--reorder places all reads at once" in clustered.stderr
    broken = tmp_path / "broken.fastq"
    broken.write_bytes(b"@r1\nACGT\n+\nIII\n")
    failed = run("compress", "--reorder", broken)
    assert failed.returncode == 1 and b"sequence length 4 but quality length 3" in failed.stderr
    assert sorted(p.name for p in tmp_path.iterdir()) == ["broken.fastq", "reads.fastq"]  # no output left


READS = [(b"read.%d" % i, (b"ACGGTCATTGACCA" * 12)[i % 7:i % 7 + 90], bytes(30 + (i + j) % 11 for j in range(90)))
         for i in range(300)]


def test_package_writer_and_compress_write_the_reordered_layout(tmp_path):
    with zelk.Writer(tmp_path / "w.zelk", layout="reordered", keep_order=False, name_template=None) as out:
        out.write_records(READS[:200])
        out.write(*READS[200])
        out.write_records(READS[201:])
    info = _zelk.inspect(tmp_path / "w.zelk")
    assert (info.reads, info.reordered, info.keep_order) == (300, True, False)
    assert sorted((r.name, r.sequence, r.quality) for r in zelk.open(tmp_path / "w.zelk")) == sorted(READS)
    source = tmp_path / "in.fastq"
    source.write_bytes(fastq(READS))
    seen = []
    assert zelk.compress(source, tmp_path / "c.zelk", layout="reordered", reorder_version=2,
                         progress=lambda reads, done: seen.append(reads)) == 300
    assert seen[-1] == 300
    assert _zelk.decompress_to_bytes(tmp_path / "c.zelk") == fastq(READS)
    # The same archive as the one-call writer makes from the same reads.
    assert (tmp_path / "c.zelk").read_bytes() == writer.write_archive(READS, layout="reordered", reorder_version=2)


def test_reordered_stream_writes_everything_at_finish():
    stream = writer.ArchiveStream(layout="reordered", keep_order=True)
    stream.add_records(READS)
    assert stream.take() == b""
    archive = stream.finish()
    assert archive == writer.write_archive(READS, layout="reordered")
    with pytest.raises(ValueError, match="ArchiveStream is finished"):
        stream.add(*READS[0])


def test_package_writer_refuses_unknown_layouts_and_misplaced_options(tmp_path):
    with pytest.raises(ValueError, match="^layout must be 'plain' or 'reordered', not 'columns'$"):
        zelk.Writer(tmp_path / "x.zelk", layout="columns")
    with pytest.raises(TypeError, match="need layout='reordered': keep_order"):
        zelk.Writer(tmp_path / "x.zelk", keep_order=False)
    with pytest.raises(ValueError, match="reorder_version must be 2, 3 or 4"):
        with zelk.Writer(tmp_path / "x.zelk", layout="reordered", reorder_version=7) as out:
            out.write(*READS[0])
    with pytest.raises(ValueError, match="sequence length 2 but quality length 1"):
        with zelk.Writer(tmp_path / "x.zelk", layout="reordered") as out:
            out.write(b"r", b"AC", b"I")
    with pytest.raises(TypeError, match="'sequence_method' is an invalid keyword argument for ArchiveStream"):
        writer.ArchiveStream(layout="reordered", sequence_method=0)
    assert not (tmp_path / "x.zelk").exists()
