import inspect as pyinspect
import os
import shutil
import subprocess

import pytest

import _zelk
import zelk
from archives import plain
from process_state import fds_open_on

SIGNATURES = {
    "open": "(source, *, threads=0, streams=None)",
    "decompress_to_path": "(source, dest, *, threads=0, fasta=False)",
    "decompress_to_bytes": "(source, *, threads=0, fasta=False)",
    "inspect": "(source)",
    "open_index": "(source)",
    "read_names": "(source, groups=None)",
    "read_sequences": "(source, groups=None)",
    "read_qualities": "(source, groups=None)",
    "read_block": "(source, group)",
    "estimate": "(source, *, level=5, quality_binning='lossless', sample_reads=1048576, threads=0)",
    "verify": "(source, *, threads=0)",
    "parse_index_suffix": "(suffix, file_len)",
    "decode_names_bytes": "(coded)",
    "decode_sequences_bytes": "(coded)",
    "decode_qualities_bytes": "(coded, seq=None)",
    "quality_needs_sequence_bytes": "(coded)",
}
FUNCTIONS = list(SIGNATURES)
CLASSES = ["Record", "Reader", "Info", "Index", "GroupLoc", "Estimate"]


def test_module_registers_classes_error_and_functions_in_order():
    names = [n for n in _zelk.__dict__ if not n.startswith("__")]
    assert names == CLASSES + ["ZelkError"] + FUNCTIONS


def test_zelk_error_type():
    assert _zelk.ZelkError.__module__ == "zelk"
    assert _zelk.ZelkError.__qualname__ == "ZelkError"
    assert _zelk.ZelkError.__doc__ == "Base error for zelk archive failures."
    assert _zelk.ZelkError.__bases__ == (Exception,)
    assert zelk.ZelkError is _zelk.ZelkError


# The package's decompress_to_path is its own safe-output version; the
# reading functions also take URLs and fsspec files.
PACKAGE_VERSIONS = {"decompress_to_path", "open", "decompress_to_bytes", "inspect", "verify", "open_index",
                    "read_block", "read_names", "read_sequences", "read_qualities"}


def test_package_reexports_the_module():
    for name in FUNCTIONS + CLASSES:
        assert (getattr(zelk, name) is getattr(_zelk, name)) == (name not in PACKAGE_VERSIONS)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_functions_carry_text_signatures(name):
    assert str(pyinspect.signature(getattr(_zelk, name))) == SIGNATURES[name]


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_instantiated(name):
    with pytest.raises(TypeError, match=rf"^cannot create '_zelk\.{name}' instances$"):
        getattr(_zelk, name)()


def test_module_docstring():
    assert _zelk.__doc__.startswith("The compiled core module. Imported and re-exported by the `zelk`")


class PathLike:
    def __init__(self, path):
        self.path = path

    def __fspath__(self):
        return self.path


def test_bytes_str_and_pathlike_sources_agree(tmp_path):
    archive = plain()
    path = tmp_path / "a.zelk"
    path.write_bytes(archive)

    class BytesSubclass(bytes):
        pass

    seen = {repr(_zelk.inspect(source)) for source in
            (archive, BytesSubclass(archive), str(path), path, PathLike(str(path)))}
    assert len(seen) == 1


@pytest.mark.parametrize("source", [42, 4.5, None, bytearray(b"ZELK"), memoryview(b"ZELK")])
def test_bytes_or_path_source_type_errors(source):
    with pytest.raises(TypeError, match=r"^source must be bytes, a str path, or an os\.PathLike$"):
        _zelk.inspect(source)


def test_missing_path_is_os_error_naming_the_path(tmp_path):
    missing = str(tmp_path / "nope.zelk")
    with pytest.raises(OSError) as raised:
        _zelk.inspect(missing)
    assert str(raised.value) == f"{missing}: No such file or directory"
    with pytest.raises(OSError, match="Is a directory"):
        _zelk.inspect(str(tmp_path))


def test_inspect_closes_its_file(tmp_path):
    path = tmp_path / "a.zelk"
    path.write_bytes(b"garbage that is not an archive at all")
    for _ in range(50):
        with pytest.raises(_zelk.ZelkError):
            _zelk.inspect(path)
    assert fds_open_on(path) == 0


def test_argument_errors_name_the_parameter():
    with pytest.raises(TypeError, match="source"):
        _zelk.inspect()
    with pytest.raises(TypeError):
        _zelk.inspect(b"", b"")
    with pytest.raises(TypeError):
        _zelk.parse_index_suffix("text", 10)
    with pytest.raises(OverflowError):
        _zelk.parse_index_suffix(b"", -1)


def test_inspect_works_from_many_threads():
    import concurrent.futures

    archive = plain()
    with concurrent.futures.ThreadPoolExecutor(4) as executor:
        results = set(executor.map(lambda _: repr(_zelk.inspect(archive)), range(64)))
    assert len(results) == 1


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_shared_pool_works_in_a_forked_child():
    import _zelk_writer as writer

    data = os.urandom(3 << 20)
    expected = writer.whole_file_crc(data, len(data), 0)
    pid = os.fork()
    if pid == 0:
        ok = writer.whole_file_crc(data, len(data), 0) == expected
        os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0


@pytest.mark.skipif(shutil.which("ldd") is None or "ZELK_SANITIZED" in os.environ,
                    reason="needs ldd and an unsanitized build")
def test_built_modules_need_only_the_c_runtime_and_zlib():
    import _zelk_writer

    allowed = {"linux-vdso", "libc", "libstdc++", "libm", "libgcc_s", "libpthread", "libz", "ld-linux-x86-64"}
    for module in (_zelk, _zelk_writer):
        listing = subprocess.run(["ldd", module.__file__], capture_output=True, text=True, check=True).stdout
        needed = {line.split()[0].split(".so")[0].rsplit("/", 1)[-1] for line in listing.splitlines() if line.strip()}
        assert needed and needed <= allowed, (module.__name__, needed - allowed)
