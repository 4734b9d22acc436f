"""Synthetic reads for the sequence codec tests."""

import random

COMPLEMENT = bytes.maketrans(b"ACGT", b"TGCA")


def revcomp(bases):
    return bases.translate(COMPLEMENT)[::-1]


def random_bases(length, seed):
    return bytes(random.Random(seed).choices(b"ACGT", k=length))


def mutate(bases, rate, seed):
    """Substitutions, insertions and deletions at `rate` each."""
    rng = random.Random(seed)
    out = bytearray()
    for base in bases:
        roll = rng.random()
        if roll < rate:
            out.append(rng.choice(b"ACGT".replace(bytes([base]), b"")))
        elif roll < 2 * rate:
            out += bytes([base, rng.choice(b"ACGT")])
        elif roll >= 3 * rate:
            out.append(base)
    return bytes(out)
