"""Independent reference for the random generators of the global searches.

A pure-Python ChaCha block function and PCG32 key expansion.  The block
function is first checked against the RFC 8439 section 2.3.2 test vector
(20 rounds); the same code with 12 rounds then reproduces the keystream
words that the C++ unit test tests/cpp/rng_chacha_test.cpp expects from the
native generator.  The numbers below must stay identical to that file's.
"""

import pytest

MASK = 0xFFFFFFFF
SIGMA = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574]  # "expand 32-byte k"


def _rotl(v, c):
    return ((v << c) | (v >> (32 - c))) & MASK


def _quarter_round(x, a, b, c, d):
    x[a] = (x[a] + x[b]) & MASK
    x[d] = _rotl(x[d] ^ x[a], 16)
    x[c] = (x[c] + x[d]) & MASK
    x[b] = _rotl(x[b] ^ x[c], 12)
    x[a] = (x[a] + x[b]) & MASK
    x[d] = _rotl(x[d] ^ x[a], 8)
    x[c] = (x[c] + x[d]) & MASK
    x[b] = _rotl(x[b] ^ x[c], 7)


def chacha_block(state, rounds):
    x = list(state)
    for _ in range(rounds // 2):
        for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                           (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
            _quarter_round(x, a, b, c, d)
    return [(u + v) & MASK for u, v in zip(x, state)]


def pcg32_key(seed):
    state = seed
    key = []
    for _ in range(8):
        state = (state * 6364136223846793005 + 11634580027462260723) % 2**64
        xorshifted = (((state >> 18) ^ state) >> 27) & MASK
        rot = state >> 59
        key.append(((xorshifted >> rot) | (xorshifted << ((32 - rot) & 31))) & MASK)
    return key


def chacha12_words(key, count):
    """Keystream words: 64-bit block counter in words 12-13, zero nonce."""
    words = []
    counter = 0
    while len(words) < count:
        words += chacha_block(SIGMA + key + [counter & MASK, counter >> 32, 0, 0], 12)
        counter += 1
    return words[:count]


def test_rfc8439_block_vector():
    key = [int.from_bytes(bytes(range(4 * j, 4 * j + 4)), "little") for j in range(8)]
    nonce = bytes.fromhex("000000090000004a00000000")
    state = SIGMA + key + [1] + [int.from_bytes(nonce[4 * j:4 * j + 4], "little") for j in range(3)]
    assert chacha_block(state, 20) == [
        0xE4E7F110, 0x15593BD1, 0x1FDD0F50, 0xC47120A3, 0xC7F4D1C7, 0x0368C033, 0x9AAA2204, 0x4E6CD4C3,
        0x466482D2, 0x09AA9F07, 0x05D7C214, 0xA2028BD9, 0xD19C12B5, 0xB94E16DE, 0xE883D0CB, 0x4E3C50A2,
    ]


# seed -> (PCG32 key, keystream words 0..3, keystream words 15..17)
NATIVE_EXPECTATIONS = {
    0: ([0xF973F2EC, 0x45CDB581, 0x7346F087, 0xAD6CAD06, 0xE3A3D0D0, 0x67E71733, 0x72EA9BF2, 0xFE7D8AD7],
        [0xCD2C6F7F, 0xBB2A3FB2, 0x8E27697B, 0xC6017C94], [0xCB30CE1A, 0x9E0D7FAC, 0xBFD4A4AE]),
    42: ([0x7BA18FA4, 0x0A3D3258, 0xCCA1B8EA, 0xB8140169, 0x75C88C2B, 0x54F7B418, 0xA16E448D, 0xF220DFE4],
         [0x222724A2, 0x86CC7763, 0x3FAD517D, 0x8AF00A13], [0xD9688D9B, 0xA11C835E, 0x219B7E47]),
    2**64 - 1: ([0xE392472F, 0x102810D6, 0x952D5435, 0x435EF92C, 0x7B34E99A, 0x37C5DD03, 0xB0C77A63,
                 0x3E612043],
                [0x2E3D5FB8, 0x0FA79848, 0x4112469E, 0x0A3370B4], [0x24E1C7C7, 0x8BE6847C, 0x5CA54DE6]),
}


@pytest.mark.parametrize("seed", sorted(NATIVE_EXPECTATIONS))
def test_chacha12_stream_matches_native_expectations(seed):
    key, first, boundary = NATIVE_EXPECTATIONS[seed]
    assert pcg32_key(seed) == key
    words = chacha12_words(key, 18)
    assert words[:4] == first
    assert words[15:18] == boundary


def xorshift128(state, count):
    x, y, z, w = state
    out = []
    for _ in range(count):
        t = (x ^ (x << 11)) & MASK
        x, y, z = y, z, w
        w = (w ^ (w >> 19) ^ t ^ (t >> 8)) & MASK
        out.append(w)
    return out


def test_xorshift128_matches_native_expectations():
    # Same sequence as tests/cpp/rng_xorshift_test.cpp.
    assert xorshift128((1, 2, 3, 4), 6) == [0x80D, 0x181F, 0x4, 0x2020, 0x40004D, 0x8020BA]
