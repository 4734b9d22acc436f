"""A slow, independent quality-stream decoder written from the format
description, used as an oracle for the compiled decoder."""

import copy
import math

from coding import MASK32, RangeDecoderCore


def varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


class RangeDecoder(RangeDecoderCore):
    def freq(self, freqs, total):
        self.range //= total
        value = ((self.code - self.low) & MASK32) // self.range
        slot, below = len(freqs) - 1, 0
        for i, f in enumerate(freqs):
            if value < below + f:
                slot = i
                break
            below += f
        below = sum(freqs[:slot])
        self.low = (self.low + self.range * below) & MASK32
        self.range = (self.range * freqs[slot]) & MASK32
        self.normalise()
        return slot

    def bit(self, p):
        r = self.range >> 12
        if ((self.code - self.low) & MASK32) // r < p:
            bit, self.range = 1, r * p
        else:
            bit = 0
            self.low = (self.low + r * p) & MASK32
            self.range = r * (4096 - p)
        self.normalise()
        return bit


def base_code(bases, i):
    if i < 0 or i >= len(bases):
        return 0
    return {ord("C"): 1, ord("c"): 1, ord("G"): 2, ord("g"): 2, ord("T"): 3, ord("t"): 3}.get(bases[i], 0)


def run_lengths(bases):
    runs = []
    for i in range(len(bases)):
        runs.append(runs[-1] + 1 if i and bases[i - 1] == bases[i] else 1)
    return runs


def slot_class(n):
    for bound in (4, 8, 16, 32, 64):
        if n <= bound:
            return bound
    return 94


def decode_freq(payload, lengths, symbols, sequence, mode):
    n, slots = len(symbols), slot_class(len(symbols))
    contexts = {}
    decoder = RangeDecoder(payload)
    out = bytearray()
    for bases in split(sequence, lengths):
        q1 = q2 = q3 = delta = 0
        runs = run_lengths(bases)
        for i in range(len(bases)):
            if mode == 0:
                pos = i >> 1 if i < 16 else min(i >> 5, 7) | 8
                ctx = (q1 & 63) | ((q2 >> 2) & 15) << 6 | delta << 10 | ((q3 >> 4) & 3) << 12 | pos << 14
            else:
                ctx = (((q1 >> 1) & 63) | ((q2 >> 3) & 7) << 6 | base_code(bases, i) << 9
                       | base_code(bases, i + 1) << 11 | min(runs[i], 7) << 13)
            entry = contexts.setdefault(ctx, [[1] * n + [0] * (slots - n), n])
            s = decoder.freq(*entry)
            entry[0][s] += 16
            entry[1] += 16
            if entry[1] > 8192:
                entry[0] = [(f + 1) >> 1 for f in entry[0]]
                entry[1] = sum(entry[0])
            assert s < n
            out.append(symbols[s])
            q = (symbols[s] - symbols[0]) & 0xFF
            if i >= 1 and q != q1:
                delta = min(delta + 1, 3)
            q1, q2, q3 = q, q1, q2
    return bytes(out)


def squash_table():
    table = []
    for i in range(4096):
        value = math.floor(4096 / (1 + math.exp(-(i - 2048) / 256)) + 0.5)
        table.append(min(max(value, 1), 4095))
    return table


def stretch_table(squash):
    table, h = [0] * 4097, 0
    for t in range(4096):
        if squash[t] >= h:
            for j in range(h, squash[t] + 1):
                table[j] = t - 2048
            h = squash[t] + 1
    for j in range(h, 4097):
        table[j] = 2047
    return table


SQUASH = squash_table()
STRETCH = stretch_table(SQUASH)


def quantizer(symbols, pairs):
    if pairs is None:
        return [v >> 1 for v in range(256)], [v >> 3 for v in range(256)], [v >> 4 for v in range(256)]
    q0, q1, q2 = [0] * 256, [0] * 256, [0] * 256
    for i, symbol in enumerate(symbols):
        v = (symbol - symbols[0]) & 0xFF
        q0[v], q1[v], q2[v] = pairs[2 * i] & 63, (pairs[2 * i + 1] >> 3) & 7, pairs[2 * i + 1] & 3
    return q0, q1, q2


class MixModel:
    def __init__(self, n):
        self.n = n
        self.bits = 1 if n <= 2 else (n - 1).bit_length()
        self.tables = [{}, {}, {}]
        self.weights = [[21845] * 3 for _ in range(self.bits)]

    def decode(self, payload, lengths, symbols, sequence, quant, adapt=True):
        q0t, q1t, q2t = quant
        decoder = RangeDecoder(payload)
        out = bytearray()
        for bases in split(sequence, lengths):
            q1 = q2 = q3 = 0
            runs = run_lengths(bases)
            for i in range(len(bases)):
                c1 = ((q0t[q1] & 63) | (q1t[q2] & 7) << 6 | base_code(bases, i) << 9
                      | base_code(bases, i + 1) << 11 | min(runs[i], 7) << 13)
                c2 = c1 | base_code(bases, i - 1) << 16
                c3 = c2 | base_code(bases, i + 2) << 18 | (q2t[q3] & 3) << 20
                indexes = (c1 & 0xFFFF, c2 & 0x3FFFF, (((c3 * 0x9E3779B1) & MASK32) >> 12) & 0xFFFFF)
                node = 1
                for level in range(self.bits):
                    keys = [(index << self.bits) + node for index in indexes]
                    probs = [table.get(key, 2048) for table, key in zip(self.tables, keys)]
                    xs = [STRETCH[p] for p in probs]
                    dot = sum(x * w for x, w in zip(xs, self.weights[level]))
                    x = min(max(dot >> 16, -2047), 2047)
                    p = min(max(SQUASH[x + 2048], 1), 4095)
                    bit = decoder.bit(p)
                    if adapt:
                        err = (4096 if bit else 0) - p
                        self.weights[level] = [w + ((xt * err) >> 11) for w, xt in zip(self.weights[level], xs)]
                        for table, key, prob in zip(self.tables, keys, probs):
                            table[key] = prob + (((4096 if bit else 0) - prob) >> 5)
                    node = 2 * node + bit
                s = node - (1 << self.bits)
                assert s < self.n
                out.append(symbols[s])
                q1, q2, q3 = (symbols[s] - symbols[0]) & 0xFF, q1, q2
        return bytes(out)


def split(data, lengths):
    pieces, at = [], 0
    for length in lengths:
        pieces.append(data[at:at + length])
        at += length
    return pieces


def decode(stream, sequence):
    """The concatenated qualities of a stream; `sequence` may be None in
    mode 0 (any bytes of the right length then stand in for it)."""
    assert stream[0] == 2
    mode, n = stream[2], stream[3]
    symbols = stream[4:4 + n]
    pos = 4 + n
    pairs = None
    if mode in (4, 6):
        pairs = stream[pos:pos + 2 * n]
        pos += 2 * n
    chunks = None
    if mode in (5, 6):
        variant = stream[pos]
        segments, pos = varint(stream, pos + 1)
        warmup, pos = varint(stream, pos)
        seg_lengths = []
        for _ in range(segments):
            length, pos = varint(stream, pos)
            seg_lengths.append(length)
        chunks = (variant, segments, warmup, seg_lengths)
    count, pos = varint(stream, pos)
    uniform = stream[pos]
    pos += 1
    if uniform:
        length = 0
        if count:
            length, pos = varint(stream, pos)
        lengths = [length & MASK32] * count
    else:
        lengths = []
        for _ in range(count):
            length, pos = varint(stream, pos)
            lengths.append(length & MASK32)
    payload = stream[pos:]
    if sequence is None:
        sequence = b"A" * sum(lengths)
    if mode in (0, 1):
        return decode_freq(payload, lengths, symbols, sequence, mode)
    quant = quantizer(symbols, pairs)
    if chunks is None:
        return MixModel(n).decode(payload, lengths, symbols, sequence, quant)
    return decode_chunked(chunks, payload, lengths, symbols, sequence, quant)


def decode_chunked(chunks, payload, lengths, symbols, sequence, quant):
    variant, segments, warmup, seg_lengths = chunks
    prefix = [0]
    for length in lengths:
        prefix.append(prefix[-1] + length)
    k = 0
    while k < len(lengths) and (k == 0 or prefix[k] < warmup):
        k += 1
    assert prefix[k] == warmup
    later, extra, runs = len(lengths) - k, prefix[-1] - warmup, segments - 1
    splits = [0]
    total = 0
    for f in range(1, runs):
        target = extra * f // runs
        at = splits[-1]
        while total < target and at < later:
            total += lengths[k + at]
            at += 1
        splits.append(at)
    splits.append(later)
    starts = [sum(seg_lengths[:j]) for j in range(segments)]
    model = MixModel(len(symbols))
    out = model.decode(payload[:seg_lengths[0]], lengths[:k], symbols, sequence[:warmup], quant)
    for j in range(1, segments):
        first, end = k + splits[j - 1], k + splits[j]
        coded = payload[starts[j]:starts[j] + seg_lengths[j]]
        worker = copy.deepcopy(model) if variant == 1 else model
        out += worker.decode(coded, lengths[first:end], symbols, sequence[prefix[first]:prefix[end]], quant,
                             adapt=variant == 1)
    return out
