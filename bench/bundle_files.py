#!/usr/bin/env python3
"""Resources for a benchmark bundle: 2,000 files in 40 folders, sizes spread
from a few bytes to about 1 MiB, 256 MiB in all.

    bench/bundle_files.py ROOT [--half-text]

The files hold random bytes; with --half-text each alternates 4 KiB of
random bytes and 4 KiB of text, so that a zip of them compresses as real
bundles do and stays under the largest archive a release may carry.
"""
import os
import random
import sys

TOTAL, COUNT, FOLDERS = 256 << 20, 1998, 40


def file_sizes():
    weights = [random.random() ** 3 for _ in range(COUNT)]
    scale = TOTAL / sum(weights)
    sizes = [int(w * scale) for w in weights]
    sizes[0] += TOTAL - sum(sizes)
    return sizes


def contents_block(half_text):
    if not half_text:
        return os.urandom(1 << 20)
    words = [("%x" % random.getrandbits(24)).encode() for _ in range(400)]
    text = b" ".join(random.choice(words) for _ in range(1 << 18))
    noise = os.urandom(len(text))
    return b"".join(noise[i:i + 4096] + text[i:i + 4096] for i in range(0, 1 << 20, 8192))


def main():
    if len(sys.argv) not in (2, 3) or sys.argv[2:] not in ([], ["--half-text"]):
        sys.exit(__doc__)
    root = sys.argv[1]
    random.seed(7)
    sizes = file_sizes()
    block = contents_block(sys.argv[2:] == ["--half-text"])
    for i, size in enumerate(sizes):
        folder = os.path.join(root, "part-%02d" % (i % FOLDERS))
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, "file-%04d.bin" % i), "wb") as f:
            offset = (i * 8192) % len(block)
            while size > 0:
                piece = block[offset:offset + size]
                f.write(piece)
                size -= len(piece)
                offset = 0


if __name__ == "__main__":
    main()
