"""Byte-level helpers shared by the codec tests."""


def varint(value):
    """Unsigned LEB128, as every stream of the format stores its integers."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


MASK32 = 0xFFFFFFFF


class RangeDecoderCore:
    """The range decoder both the sequence and the quality codecs run: its
    start and its normalisation. Reads past the end yield zero bytes."""

    def __init__(self, data):
        self.data, self.pos = data, 0
        self.low, self.range, self.code = 0, MASK32, 0
        for _ in range(4):
            self.code = (self.code << 8) | self.next_byte()

    def next_byte(self):
        byte = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return byte

    def normalise(self):
        while True:
            if (self.low ^ ((self.low + self.range) & MASK32)) >= 1 << 24:
                if self.range >= 1 << 16:
                    return
                self.range = -self.low & 0xFFFF
            self.code = ((self.code << 8) | self.next_byte()) & MASK32
            self.low = (self.low << 8) & MASK32
            self.range = (self.range << 8) & MASK32
