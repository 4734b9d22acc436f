"""An independent model of the reference LZ decoder, written from the
format's rules, for checking the compiled decoder on arbitrary coded bytes.
Slow: keep its inputs small."""

from coding import MASK32, RangeDecoderCore


class BitDecoder(RangeDecoderCore):
    def bit(self, probs, index):
        p = probs[index]
        r = self.range >> 11
        if ((self.code - self.low) & MASK32) // r < p:
            self.range = r * p
            probs[index] = p + ((2048 - p) >> 5)
            bit = 0
        else:
            self.low = (self.low + r * p) & MASK32
            self.range = r * (2048 - p)
            probs[index] = p - (p >> 5)
            bit = 1
        self.normalise()
        return bit

    def direct(self):
        self.range >>= 1
        bit = int((self.code - self.low) & MASK32 >= self.range)
        if bit:
            self.low = (self.low + self.range) & MASK32
        self.normalise()
        return bit

    def tree(self, probs, bits):
        index = 1
        for _ in range(bits):
            index = 2 * index + self.bit(probs, index)
        return index - (1 << bits)

    def reverse_tree(self, probs, bits):
        index, value = 1, 0
        for i in range(bits):
            bit = self.bit(probs, index)
            index = 2 * index + bit
            value |= bit << i
        return value


class DecodeError(Exception):
    pass


def probs(n):
    return [1024] * n


def new_length_model():
    return {"choice": probs(1), "choice2": probs(1), "low": probs(8), "mid": probs(8), "high": probs(256)}


def decode_length(d, m):
    if d.bit(m["choice"], 0) == 0:
        return 2 + d.tree(m["low"], 3)
    if d.bit(m["choice2"], 0) == 0:
        return 10 + d.tree(m["mid"], 3)
    return 18 + d.tree(m["high"], 8)


def reflzma_decode(coded, n):
    """The `n` bytes coded in `coded`, or DecodeError with the failure's text."""
    d = BitDecoder(coded)
    is_match, is_rep, g0, g1, g2, rep0_long = (probs(12) for _ in range(6))
    literals = [probs(768) for _ in range(256)]
    match_len, rep_len = new_length_model(), new_length_model()
    slots = [probs(64) for _ in range(4)]
    slot_ends = [probs(1 << ((s >> 1) - 1)) for s in range(4, 14)]
    align = probs(16)
    state, reps, out = 0, [0, 0, 0, 0], bytearray()
    while len(out) < n:
        pos = len(out)
        if d.bit(is_match, state) == 0:
            table = literals[out[-1] if out else 0]
            if state < 7:
                byte = d.tree(table, 8)
            else:
                match_byte = out[pos - reps[0] - 1] if reps[0] + 1 <= pos else 0
                index = 1
                for i in range(7, -1, -1):
                    match_bit = match_byte >> i & 1
                    bit = d.bit(table, 0x100 + (match_bit << 8) + index)
                    index = 2 * index + bit
                    if bit != match_bit:
                        for _ in range(i):
                            index = 2 * index + d.bit(table, index)
                        break
                byte = index - 0x100
            out.append(byte)
            state = 0 if state < 4 else state - 3 if state < 10 else state - 6
            continue
        if d.bit(is_rep, state) == 0:
            length = decode_length(d, match_len)
            slot = d.tree(slots[min(length - 2, 3)], 6)
            if slot < 4:
                distance = slot
            else:
                footer = (slot >> 1) - 1
                distance = (2 | slot & 1) << footer
                if slot < 14:
                    distance += d.reverse_tree(slot_ends[slot - 4], footer)
                else:
                    high = 0
                    for _ in range(footer - 4):
                        high = high << 1 | d.direct()
                    distance += (high << 4) + d.reverse_tree(align, 4)
            reps = [distance] + reps[:3]
            state = 7 if state < 7 else 10
        elif d.bit(g0, state) == 0:
            if d.bit(rep0_long, state) == 0:
                length = 1
                state = 9 if state < 7 else 11
            else:
                length = decode_length(d, rep_len)
                state = 8 if state < 7 else 11
        else:
            if d.bit(g1, state) == 0:
                index = 1
            else:
                index = 2 if d.bit(g2, state) == 0 else 3
            reps = [reps[index]] + reps[:index] + reps[index + 1:]
            length = decode_length(d, rep_len)
            state = 8 if state < 7 else 11
        if reps[0] >= pos:
            raise DecodeError("reflzma: distance past output")
        if pos + length > n:
            raise DecodeError("reflzma: match past end")
        for _ in range(length):
            out.append(out[len(out) - reps[0] - 1])
    return bytes(out)
