"""Compares the three protective encodings under the same fault rate.

For each protection, flips a fixed fraction of the stored bits of a float32
"weight" tensor (sites drawn without repetition), decodes, and reports how
many weights came back exact, how many changed, and the largest change.
Run: python examples/protection_study.py [bit-error-rate] [seed]
"""

import sys

import numpy as np

import corvane._rust as rust
from corvane._rust import Fault, Picker, cep, mset, secded


def flips(total_bits: int, rate: float, seed: int) -> list[tuple[Fault, int]]:
    sites = Picker(total_bits, seed=seed)
    count = max(1, round(total_bits * rate))
    return [(Fault.flip(), next(sites)) for _ in range(count)]


def report(name: str, original: np.ndarray, decoded: np.ndarray, extra: str = "") -> None:
    same = decoded.view(np.uint32) == original.view(np.uint32)
    with np.errstate(invalid="ignore"):  # faults may leave NaNs and infinities
        delta = np.abs(decoded.astype(np.float64) - original.astype(np.float64))
    worst = np.nanmax(np.where(same, 0.0, delta)) if not same.all() else 0.0
    print(f"{name:<22} {int(same.sum()):>8} {int((~same).sum()):>8} {worst:>14.6g}  {extra}")


def main(argv: list[str]) -> int:
    rate = float(argv[1]) if len(argv) > 1 else 1e-4
    seed = int(argv[2]) if len(argv) > 2 else 7
    weights = np.random.default_rng(seed).standard_normal(200_000).astype(np.float32)
    print(f"{weights.size} float32 weights, bit error rate {rate:g}, seed {seed}")
    print(f"{'protection':<22} {'exact':>8} {'changed':>8} {'largest change':>14}")

    plain = weights.copy()
    rust.list_of_array_faults_f32([plain], flips(plain.size * 32, rate, seed))
    report("none", weights, plain)

    encoded = secded.encode_f32([weights], 64)
    encoded.apply_faults(flips(encoded.bit_count(), rate, seed))
    (decoded,), ok = encoded.decode_f32()
    report("SEC-DED (64+8 bits)", weights, decoded, f"{ok.count(False)} chunks flagged uncorrectable")

    for scheme in (cep.Scheme.D3P1, cep.Scheme.D15P1):
        # Embedded parity gives up the lowest mantissa bits; compare against
        # the weights as they decode without faults.
        reference = weights.copy()
        cep.encode_f32(reference, scheme)
        cep.decode_f32(reference, scheme)
        protected = weights.copy()
        cep.encode_f32(protected, scheme)
        rust.list_of_array_faults_f32([protected], flips(protected.size * 32, rate, seed))
        cep.decode_f32(protected, scheme)
        report(f"parity {scheme!r}", reference, protected)

    reference = weights.copy()
    mset.encode_f32(reference)
    voted = reference.copy()
    rust.list_of_array_faults_f32([voted], flips(voted.size * 32, rate, seed))
    mset.decode_f32(voted)
    report("majority vote (bit 30)", reference, voted)
    return 0


if __name__ == "__main__":
    raise SystemExit(main(sys.argv))
