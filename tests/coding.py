"""Byte-level helpers shared by the codec tests."""


def varint(value):
    """Unsigned LEB128, as every stream of the format stores its integers."""
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)
