"""A slow, independent decoder of long-read overlap ("LRO") and tile ("LRT")
payloads written from the format description, used as an oracle for the
compiled decoders, and a builder of such payloads from explicit parts for
hand-made streams. Framed sub-streams go through the writer's rANS coder,
which has tests of its own. `sizes` records the coded bytes of each part,
to see where a block's bytes go."""

import _zelk_writer as writer
from coding import varint as encode_varint
from quality_reference import MASK32, RangeDecoder, varint

CAPACITY = 1 << 40
COMPLEMENT = bytes.maketrans(b"ACGT", b"TGCA")


class Malformed(Exception):
    pass


def zigzag(value):
    return (value >> 1) ^ -(value & 1)


def reverse_complement(bases):
    return bytes(bases).translate(COMPLEMENT)[::-1]


def letter(code):
    return b"ACGT"[code] if code < 4 else ord("A")


def code_of(base):
    return b"ACGT".find(bytes([base])) if base in b"ACGT" else 4


class Payload:
    def __init__(self, data):
        self.data, self.pos, self.sizes = data, 0, {}

    def varint(self):
        value, self.pos = varint(self.data, self.pos)
        return value

    def framed(self, name):
        start = self.pos
        raw, used = writer.rans_decode_framed(self.data[self.pos :], CAPACITY)
        self.pos += used
        self.sizes[name] = self.pos - start
        return raw

    def range_coded(self, name):
        start = self.pos
        symbols, size = self.varint(), self.varint()
        coded = self.data[self.pos : self.pos + size]
        self.pos += size
        self.sizes[name] = self.pos - start
        return symbols, RangeDecoder(coded)


class Model:
    def __init__(self, symbols):
        self.counts = [1] * symbols

    def decode(self, decoder):
        symbol = decoder.freq(self.counts, sum(self.counts))
        self.update(symbol)
        return symbol

    def encode(self, encoder, symbol):
        encoder.encode(self.counts, symbol)
        self.update(symbol)

    def update(self, symbol):
        self.counts[symbol] += 16
        if sum(self.counts) > 8192:
            self.counts = [(c + 1) // 2 for c in self.counts]


class RangeEncoder:
    """The carry-less encoder mirroring the decoder's arithmetic."""

    def __init__(self):
        self.out, self.low, self.range, self.count = bytearray(), 0, MASK32, 0

    def encode(self, counts, symbol):
        self.count += 1
        self.range //= sum(counts)
        self.low = (self.low + self.range * sum(counts[:symbol])) & MASK32
        self.range *= counts[symbol]
        while True:
            if (self.low ^ ((self.low + self.range) & MASK32)) >= 1 << 24:
                if self.range >= 1 << 16:
                    return
                self.range = -self.low & 0xFFFF
            self.shift()

    def shift(self):
        self.out.append(self.low >> 24)
        self.low = (self.low << 8) & MASK32
        self.range = (self.range << 8) & MASK32

    def finish(self):
        for _ in range(4):
            self.shift()
        return encode_varint(self.count) + encode_varint(len(self.out)) + bytes(self.out)


class Varints:
    def __init__(self, data):
        self.data, self.pos = data, 0

    def next(self):
        if self.pos >= len(self.data):
            raise Malformed("side stream used up")
        value, self.pos = varint(self.data, self.pos)
        return value


class EditScripts:
    """The edit-script state of one block: op contexts carry over reads."""

    def __init__(self, payload):
        self.op_count, self.ops = payload.range_coded("ops")
        self.matches = Varints(payload.framed("match lengths"))
        self.sub_count, self.subs = payload.range_coded("substitutions")
        self.ins_count, self.inserts = payload.range_coded("insertions")
        self.indels = Varints(payload.framed("indel lengths"))
        self.op_models = [Model(4) for _ in range(64)]
        self.sub_models = [Model(5) for _ in range(5)]
        self.ins_models = [Model(5) for _ in range(5)]
        self.context, self.used = 0, [0, 0, 0]

    def decode(self, ref, length):
        out, cursor, previous = bytearray(), 0, 4
        while len(out) < length:
            op = self.op_models[self.context].decode(self.ops)
            self.context = op + 4 * (self.context & 15)
            self.used[0] += 1
            if op == 0:
                n = self.matches.next()
                if cursor + n > len(ref):
                    raise Malformed("match past the reference")
                out += ref[cursor : cursor + n]
                if n:
                    previous = code_of(ref[cursor + n - 1])
                cursor += n
            elif op == 1:
                ref_code = code_of(ref[cursor]) if cursor < len(ref) else 4
                previous = self.sub_models[ref_code].decode(self.subs)
                self.used[1] += 1
                out.append(letter(previous))
                cursor += 1
            elif op == 2:
                for _ in range(self.indels.next()):
                    previous = self.ins_models[min(previous, 4)].decode(self.inserts)
                    self.used[2] += 1
                    out.append(letter(previous))
            else:
                cursor += self.indels.next()
        if len(out) != length:
            raise Malformed("script overshoots the read")
        return bytes(out)

    def check_counts(self):
        if self.used != [self.op_count, self.sub_count, self.ins_count]:
            raise Malformed("symbol counts disagree")


def read_shape(payload):
    count, total = payload.varint(), payload.varint()
    lengths = Varints(payload.framed("read lengths"))
    lengths = [lengths.next() for _ in range(count)]
    if sum(lengths) != total:
        raise Malformed("lengths do not sum to the total")
    offsets = [0]
    for length in lengths:
        offsets.append(offsets[-1] + length)
    return lengths, offsets


def apply_exceptions(payload, out):
    deltas = Varints(payload.framed("exception positions"))
    position = 0
    for value in payload.framed("exception bytes"):
        position += deltas.next()
        out[position] = value


def read_contigs(payload):
    count = payload.varint()
    contig_lengths = Varints(payload.framed("contig lengths"))
    contig_bytes, contigs, at = payload.framed("contig bases"), [], 0
    for _ in range(count):
        n = contig_lengths.next()
        contigs.append(contig_bytes[at : at + n])
        at += n
    return contigs


def block_contigs(data):
    """The contigs a method-1 "LRO" payload carries."""
    payload = Payload(data)
    payload.pos = 4
    read_shape(payload)
    return read_contigs(payload)


def decode_overlap(data, contigs=None):
    """(lengths, bases, sizes, layout) of an "LRO" payload; method 2 takes
    `contigs`. The layout lists (read, contig, reverse, start) per
    placement, contig None for a raw read."""
    payload = Payload(data)
    if data[:3] != b"LRO":
        raise Malformed("magic")
    method = data[3]
    payload.pos = 4
    lengths, offsets = read_shape(payload)
    if method == 1:
        contigs = read_contigs(payload)
    groups = Varints(payload.framed("group counts"))
    reads = Varints(payload.framed("read indices"))
    kinds = iter(payload.framed("kinds"))
    strands = iter(payload.framed("strands"))
    starts = Varints(payload.framed("starts"))
    scripts = EditScripts(payload)
    raw = iter(payload.framed("raw codes"))
    out, layout = bytearray(offsets[-1]), []
    for group in range(len(contigs) + 1):
        start = 0
        for _ in range(groups.next()):
            read = reads.next()
            if next(kinds) == 1:
                bases = bytes(letter(next(raw)) for _ in range(lengths[read]))
                layout.append((read, None, 0, 0))
            else:
                reverse = next(strands)
                start += zigzag(starts.next())
                layout.append((read, group, reverse, start))
                bases = scripts.decode(contigs[group][start:], lengths[read])
                if reverse:
                    bases = reverse_complement(bases)
            out[offsets[read] : offsets[read + 1]] = bases
    scripts.check_counts()
    apply_exceptions(payload, out)
    return lengths, bytes(out), payload.sizes, layout


def decode_tiles(data):
    """(lengths, bases, sizes, layout) of an "LRT" payload. The layout lists
    (read, distance, reverse, offset, length) per tile, distance 0 raw."""
    payload = Payload(data)
    if data[:4] != b"LRT\x01":
        raise Malformed("magic")
    payload.pos = 4
    lengths, offsets = read_shape(payload)
    distances = Varints(payload.framed("tile distances"))
    copy_lengths = Varints(payload.framed("copy lengths"))
    strands = iter(payload.framed("strands"))
    source_offsets = Varints(payload.framed("source offsets"))
    raw_lengths = Varints(payload.framed("raw lengths"))
    scripts = EditScripts(payload)
    raw = iter(payload.framed("raw codes"))
    out, layout = bytearray(offsets[-1]), []
    for read, length in enumerate(lengths):
        bases = bytearray()
        while len(bases) < length:
            distance = distances.next()
            if distance == 0:
                n = raw_lengths.next()
                bases += bytes(letter(next(raw)) for _ in range(n))
                layout.append((read, 0, 0, 0, n))
                continue
            reverse, n, offset = next(strands), copy_lengths.next(), source_offsets.next()
            layout.append((read, distance, reverse, offset, n))
            source = bytes(out[offsets[read - distance] : offsets[read - distance + 1]])
            if reverse:
                source = reverse_complement(source)
            if n:
                bases += scripts.decode(source[offset:], n)
        if len(bases) != length:
            raise Malformed("tiles overshoot the read")
        out[offsets[read] : offsets[read + 1]] = bases
    scripts.check_counts()
    apply_exceptions(payload, out)
    return lengths, bytes(out), payload.sizes, layout


# Building payloads from explicit parts. A script is a list of ops:
# ("M", n), ("S", base), ("I", bases) or ("D", n).

def framed(data):
    return writer.rans_encode_framed(bytes(data))


def varints(values):
    return b"".join(encode_varint(v) for v in values)


class ScriptWriter:
    """Codes scripts in decoding order with the block's shared models."""

    def __init__(self):
        self.ops, self.subs, self.inserts = RangeEncoder(), RangeEncoder(), RangeEncoder()
        self.matches, self.indels = bytearray(), bytearray()
        self.op_models = [Model(4) for _ in range(64)]
        self.sub_models = [Model(5) for _ in range(5)]
        self.ins_models = [Model(5) for _ in range(5)]
        self.context = 0

    def add(self, ref, script):
        cursor, previous = 0, 4
        for kind, value in script:
            op = "MSID".index(kind)
            self.op_models[self.context].encode(self.ops, op)
            self.context = op + 4 * (self.context & 15)
            if kind == "M":
                self.matches += encode_varint(value)
                if value:
                    previous = code_of(ref[cursor + value - 1]) if cursor + value <= len(ref) else 4
                cursor += value
            elif kind == "S":
                ref_code = code_of(ref[cursor]) if cursor < len(ref) else 4
                previous = code_of(value)
                self.sub_models[ref_code].encode(self.subs, previous)
                cursor += 1
            elif kind == "I":
                self.indels += encode_varint(len(value))
                for base in value:
                    self.ins_models[previous].encode(self.inserts, code_of(base))
                    previous = code_of(base)
            else:
                self.indels += encode_varint(value)
                cursor += value

    def finish(self):
        return (self.ops.finish() + framed(self.matches) + self.subs.finish() + self.inserts.finish()
                + framed(self.indels))


def shape(lengths, total=None):
    total = sum(lengths) if total is None else total
    return encode_varint(len(lengths)) + encode_varint(total) + framed(varints(lengths))


def exceptions(pairs):
    """(position delta, byte) pairs."""
    return framed(varints(d for d, _ in pairs)) + framed(bytes(v for _, v in pairs))


def build_overlap(lengths, contigs, placements, method=1, raw=b"", exception_pairs=(), total=None):
    """An "LRO" payload. `placements` lists, per group (one per contig and
    the unaligned group last), tuples (read, kind, reverse, start delta,
    script); raw reads give kind 1 and their codes in `raw`."""
    out = b"LRO" + bytes([method]) + shape(lengths, total)
    if method == 1:
        out += encode_varint(len(contigs)) + framed(varints(len(c) for c in contigs)) + framed(b"".join(contigs))
    scripts = ScriptWriter()
    reads, kinds, strands, starts = [], bytearray(), bytearray(), []
    for group, entries in enumerate(placements):
        start = 0
        for read, kind, reverse, delta, script in entries:
            reads.append(read)
            kinds.append(kind)
            if kind == 1:
                continue
            strands.append(reverse)
            starts.append(delta << 1 if delta >= 0 else (-delta << 1) - 1)
            start += delta
            scripts.add(contigs[group][start:] if group < len(contigs) else b"", script)
    out += framed(varints(len(entries) for entries in placements)) + framed(varints(reads)) + framed(kinds)
    out += framed(strands) + framed(varints(starts)) + scripts.finish() + framed(raw)
    return out + exceptions(exception_pairs)


def build_tiles(lengths, tiles, sources, raw=b"", exception_pairs=(), total=None, version=1):
    """An "LRT" payload. `tiles` lists per read its tiles: ("raw", n) or
    (distance, reverse, offset, length, script); `sources(read, tile)` gives
    the reference the script applies to (the caller knows the bases)."""
    out = b"LRT" + bytes([version]) + shape(lengths, total)
    distances, copy_lengths, strands, offsets, raw_lengths = [], [], bytearray(), [], []
    scripts = ScriptWriter()
    for read, read_tiles in enumerate(tiles):
        for tile in read_tiles:
            if tile[0] == "raw":
                distances.append(0)
                raw_lengths.append(tile[1])
                continue
            distance, reverse, offset, length, script = tile
            distances.append(distance)
            copy_lengths.append(length)
            strands.append(reverse)
            offsets.append(offset)
            if length:
                scripts.add(sources(read, tile), script)
    out += framed(varints(distances)) + framed(varints(copy_lengths)) + framed(strands)
    out += framed(varints(offsets)) + framed(varints(raw_lengths)) + scripts.finish() + framed(raw)
    return out + exceptions(exception_pairs)
