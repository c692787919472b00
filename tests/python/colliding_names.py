"""Op names that all collide under the symbol table's former hash.

The table used to place a text by a fixed, unkeyed hash that is easy to
invert; this is a copy of that hash and a generator of 21-byte names whose op
tokens ("op|" and the name) hash to one value under it. The tests and the
service benchmark use them to show that no such set of names can slow the
process down any more."""

import numpy as np

MASK = (1 << 64) - 1
GAMMA = 0x9E3779B97F4A7C15
GAMMA_INVERSE = pow(GAMMA, -1, 1 << 64)
NAME_BYTES = 21  # with "op|" three whole words: the last one is solved for
# Bytes a name may hold unchanged in its token: ASCII without the escaped
# "%", ";", "=" and "|", and without NUL.
ALLOWED = np.array([c for c in range(1, 128) if chr(c) not in "%;=|"], dtype=np.uint64)


def rotate_left(x, bits):
    return ((x << bits) | (x >> (64 - bits))) & MASK


def step(h, word):
    return rotate_left(((h ^ word) * GAMMA) & MASK, 29)


def mix64(x):
    x ^= x >> 32
    x = (x * 0xD6E8FEB86659FD93) & MASK
    x ^= x >> 29
    x = (x * GAMMA) & MASK
    return x ^ (x >> 32)


def old_hash(data):
    """The former fixed hash of the symbol table."""
    h = step(0, len(data))
    at = 0
    for at in range(0, len(data) - 7, 8):
        h = step(h, int.from_bytes(data[at:at + 8], "little"))
    at = len(data) // 8 * 8
    if at < len(data):
        h = step(h, int.from_bytes(data[at:], "little"))
    return mix64(h)


def colliding_names(count, seed=1):
    """`count` distinct names whose tokens share one old_hash value: random
    first 13 bytes, and the last 8 chosen so that the running hash meets a
    fixed target; about one try in 330 gives allowed bytes."""
    rng = np.random.default_rng(seed)
    target = 0x0123456789ABCDEF
    # step(h, w) == target exactly when h ^ w == rotr(target, 29) * GAMMA^-1.
    needed = (((target >> 29) | (target << 35)) & MASK) * GAMMA_INVERSE & MASK
    start = step(0, 3 + NAME_BYTES)
    allowed = np.zeros(256, dtype=bool)
    allowed[ALLOWED.astype(np.int64)] = True
    names = []
    while len(names) < count:
        batch = 1 << 20
        head = ALLOWED[rng.integers(0, len(ALLOWED), size=(batch, 13))]
        w0 = np.full(batch, int.from_bytes(b"op|", "little"), dtype=np.uint64)
        for k in range(5):
            w0 |= head[:, k] << np.uint64(8 * (k + 3))
        w1 = np.zeros(batch, dtype=np.uint64)
        for k in range(8):
            w1 |= head[:, 5 + k] << np.uint64(8 * k)
        with np.errstate(over="ignore"):
            h = np.uint64(start)
            for word in (w0, w1):
                x = (h ^ word) * np.uint64(GAMMA)
                h = (x << np.uint64(29)) | (x >> np.uint64(35))
        last = h ^ np.uint64(needed)
        ok = np.ones(batch, dtype=bool)
        for k in range(8):
            ok &= allowed[((last >> np.uint64(8 * k)) & np.uint64(0xFF)).astype(np.int64)]
        for i in np.nonzero(ok)[0]:
            tail = int(last[i]).to_bytes(8, "little")
            names.append((bytes(head[i].astype(np.uint8)) + tail).decode("ascii"))
    return names[:count]


def random_names(count, seed=2):
    """`count` names of the same length and alphabet, drawn at random."""
    rng = np.random.default_rng(seed)
    picks = ALLOWED[rng.integers(0, len(ALLOWED), size=(count, NAME_BYTES))].astype(np.uint8)
    return [bytes(row).decode("ascii") for row in picks]
