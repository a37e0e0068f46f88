# Writes bignum.vec from Python's integers (fixed seed, so the file is reproducible).
# Run: python3 make_bignum_vectors.py
import random
import os
out = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'bignum.vec')
rng = random.Random(20260201)
P = int("FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3CD3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A637ED6B0BFF5CB6F406B7EDEE386BFB5A899FA5AE9F24117C4B1FE649286651ECE65381FFFFFFFFFFFFFFFF",16)
def h(x): return ('-' if x < 0 else '') + format(abs(x), 'x')
def tdiv(a, b):
    q = abs(a) // abs(b)
    if (a < 0) != (b < 0): q = -q
    return q, a - q * b
def edge_value(bits):
    k = rng.randrange(4)
    if k == 0: return (1 << bits) - 1
    if k == 1: return 1 << (bits - 1)
    if k == 2: return ((1 << bits) - 1) ^ (1 << rng.randrange(bits))
    return rng.getrandbits(bits) | (1 << (bits - 1))
recs = []
edge = [0, 1, 2, 0x7fffffff, 0x80000000, 0xffffffff, 1 << 32, (1 << 63), (1 << 64) - 1, 1 << 64, (1 << 1023), (1 << 1024) - 1]
small = edge[:10]
for a in small:
    for b in small:
        for sa in (1, -1):
            for sb in (1, -1):
                x, y = sa * a, sb * b
                recs.append(('add', x, y, x + y)); recs.append(('sub', x, y, x - y)); recs.append(('mul', x, y, x * y))
for a in edge:
    for b in edge[-2:]:
        for sa, sb in ((1, 1), (-1, -1)):
            x, y = sa * a, sb * b
            recs.append(('add', x, y, x + y)); recs.append(('sub', x, y, x - y)); recs.append(('mul', x, y, x * y))
for _ in range(50):
    x = edge_value(rng.randrange(1, 1060)) * rng.choice((1, -1))
    y = edge_value(rng.randrange(1, 1060)) * rng.choice((1, -1))
    recs.append(('mul', x, y, x * y))
    recs.append(('add', x, y, x + y))
for _ in range(50):
    a = edge_value(rng.randrange(1, 2100)); d = edge_value(rng.randrange(1, 1100))
    if rng.randrange(8) == 0: a, d = -a if rng.randrange(2) else a, -d
    q, r = tdiv(a, d); recs.append(('divmod', a, d, q, r))
for a in edge[1:]:
    for d in edge[1:]:
        q, r = tdiv(a, d); recs.append(('divmod', a, d, q, r))
# powmod: handshake shapes and small moduli
for _ in range(12):
    e = rng.getrandbits(96); recs.append(('powmod', 2, e, P, pow(2, e, P)))
    b = rng.randrange(P); recs.append(('powmod', b, e, P, pow(b, e, P)))
for _ in range(30):
    m = edge_value(rng.randrange(2, 1100)); b = rng.getrandbits(rng.randrange(1, 1100)); e = rng.getrandbits(rng.randrange(1, 100))
    recs.append(('powmod', b, e, m, pow(b, e, m)))
for b, e, m in [(12, 2, 10), (2, 10, 1000), (0, 5, 7), (0, 0, 7), (5, 0, 1), (7, 1, 1), (P + 5, 3, P), (-2, 3, 7), (3, 5, -7)]:
    r = 1 if e == 0 else pow(b, e, abs(m))
    recs.append(('powmod', b, e, m, r))
with open(out, 'w') as f:
    f.write('# Multi-precision arithmetic known answers, computed with Python integers. Numbers are\n')
    f.write('# signed hexadecimal. divmod rounds the quotient toward zero (the remainder takes the\n')
    f.write('# dividend\'s sign); powmod results lie in [0, |M|), and an exponent of 0 gives 1.\n\n')
    for r in recs:
        op = r[0]
        if op in ('add', 'sub', 'mul'):
            f.write('Op = %s\nA = %s\nB = %s\nResult = %s\n\n' % (op, h(r[1]), h(r[2]), h(r[3])))
        elif op == 'divmod':
            f.write('Op = divmod\nA = %s\nB = %s\nQuotient = %s\nRemainder = %s\n\n' % tuple(h(v) for v in r[1:]))
        else:
            f.write('Op = powmod\nBase = %s\nExponent = %s\nModulus = %s\nResult = %s\n\n' % tuple(h(v) for v in r[1:]))
print(len(recs))
