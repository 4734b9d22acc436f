"""A slow, independent decoder of long-read overlap ("LRO") and tile ("LRT")
payloads written from the format description, used as an oracle for the
compiled decoders. Framed sub-streams are unpacked with the writer's rANS
decoder, which has tests of its own. `sizes` records the coded bytes of
each part, to see where a block's bytes go."""

import _zelk_writer as writer
from quality_reference import RangeDecoder, varint

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
        self.counts[symbol] += 16
        if sum(self.counts) > 8192:
            self.counts = [(c + 1) // 2 for c in self.counts]
        return symbol


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


def decode_overlap(data, contigs=None):
    """(lengths, bases, sizes) of an "LRO" payload; method 2 takes `contigs`."""
    payload = Payload(data)
    if data[:3] != b"LRO":
        raise Malformed("magic")
    method = data[3]
    payload.pos = 4
    lengths, offsets = read_shape(payload)
    if method == 1:
        count = payload.varint()
        contig_lengths = Varints(payload.framed("contig lengths"))
        contig_bytes, contigs, at = payload.framed("contig bases"), [], 0
        for _ in range(count):
            n = contig_lengths.next()
            contigs.append(contig_bytes[at : at + n])
            at += n
    groups = Varints(payload.framed("group counts"))
    reads = Varints(payload.framed("read indices"))
    kinds = iter(payload.framed("kinds"))
    strands = iter(payload.framed("strands"))
    starts = Varints(payload.framed("starts"))
    scripts = EditScripts(payload)
    raw = iter(payload.framed("raw codes"))
    out = bytearray(offsets[-1])
    for group in range(len(contigs) + 1):
        start = 0
        for _ in range(groups.next()):
            read = reads.next()
            if next(kinds) == 1:
                bases = bytes(letter(next(raw)) for _ in range(lengths[read]))
            else:
                reverse = next(strands)
                start += zigzag(starts.next())
                bases = scripts.decode(contigs[group][start:], lengths[read])
                if reverse:
                    bases = reverse_complement(bases)
            out[offsets[read] : offsets[read + 1]] = bases
    scripts.check_counts()
    apply_exceptions(payload, out)
    return lengths, bytes(out), payload.sizes


def decode_tiles(data):
    """(lengths, bases, sizes) of an "LRT" payload."""
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
    out = bytearray(offsets[-1])
    for read, length in enumerate(lengths):
        bases = bytearray()
        while len(bases) < length:
            distance = distances.next()
            if distance == 0:
                bases += bytes(letter(next(raw)) for _ in range(raw_lengths.next()))
                continue
            reverse, n, offset = next(strands), copy_lengths.next(), source_offsets.next()
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
    return lengths, bytes(out), payload.sizes
