#!/usr/bin/env python3
"""Writes the two benchmark packages, deterministically:

  app.zip    about 3,000 files in about 150 directories, about 250 MB
             uncompressed: a long tail of small files, mixed
             compressibility, a few large incompressible files;
  large.zip  5 files, about 1 GB uncompressed, mixed compressibility.

Both are deflated and carry directory entries. Also writes the previous
version of each (prev-app.zip, prev-large.zip), which the benchmark installs
as `current` before every update.

usage: make_packages.py OUT_DIR
"""
import os
import random
import sys
import zipfile

MB = 1 << 20


class Content:
    """Byte sources of three kinds: text-like, half-compressible, random."""

    def __init__(self, rng):
        self.rng = rng
        words = [bytes(rng.choice(b"abcdefghijklmnopqrstuvwxyz") for _ in range(rng.randint(2, 9)))
                 for _ in range(2000)]
        text = bytearray()
        while len(text) < 4 * MB:
            text += rng.choice(words) + (b"\n" if rng.random() < 0.1 else b" ")
        self.text = bytes(text)

    def text_like(self, size):
        out = bytearray()
        while len(out) < size:
            start = self.rng.randrange(len(self.text) - 65536)
            out += self.text[start:start + 65536]
        return bytes(out[:size])

    def random(self, size):
        return b"".join(self.rng.randbytes(min(MB, size - start)) for start in range(0, size, MB))

    def mixed(self, size):
        out = bytearray()
        while len(out) < size:
            out += self.text_like(32768) + self.random(32768)
        return bytes(out[:size])

    def of_kind(self, kind, size):
        return {"text": self.text_like, "mixed": self.mixed, "random": self.random}[kind](size)


def write_package(path, directories, files):
    with zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED, compresslevel=6) as archive:
        for d in directories:
            info = zipfile.ZipInfo(d + "/", date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = (0o40755 << 16) | 0x10
            archive.writestr(info, b"")
        for name, data, mode in files:
            info = zipfile.ZipInfo(name, date_time=(2026, 1, 1, 0, 0, 0))
            info.external_attr = (0o100000 | mode) << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(info, data)


APP_EXE = b"#!/bin/sh\nexit 0\n"


def app_shaped(seed):
    rng = random.Random(seed)
    content = Content(rng)
    directories = []
    for top in range(10):
        directories.append("mod%02d" % top)
        for sub in range(14):
            directories.append("mod%02d/part%02d" % (top, sub))
    files = [("app.exe", APP_EXE, 0o755)]
    for i in range(3000):
        d = directories[rng.randrange(len(directories))]
        r = rng.random()
        size = min(int(rng.paretovariate(1.2) * 5000), MB) if r < 0.99 else rng.randint(1, 4) * MB
        kind = rng.choice(["text", "text", "mixed", "random"])
        files.append(("%s/file%04d.%s" % (d, i, kind[:3]), content.of_kind(kind, size), 0o644))
    # A few large incompressible ones, to reach about 250 MB.
    total = sum(len(data) for _, data, _ in files)
    n = 0
    while total < 250 * MB:
        size = min(30 * MB, 250 * MB - total)
        files.append(("mod%02d/blob%d.pak" % (n, n), content.random(size), 0o644))
        total += size
        n += 1
    return directories, files


def large(seed):
    rng = random.Random(seed)
    content = Content(rng)
    directories = ["data", "media"]
    files = [("app.exe", APP_EXE, 0o755)]
    for i, (kind, size) in enumerate([("random", 300), ("text", 250), ("mixed", 250), ("random", 124), ("text", 100)]):
        files.append(("%s/big%d.%s" % (directories[i % 2], i, kind[:3]), content.of_kind(kind, size * MB), 0o644))
    return directories, files


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, make, seed in [("app", app_shaped, 1), ("prev-app", app_shaped, 2),
                             ("large", large, 3), ("prev-large", large, 4)]:
        path = os.path.join(out, name + ".zip")
        if os.path.exists(path):
            continue
        directories, files = make(seed)
        write_package(path + ".tmp", directories, files)
        os.rename(path + ".tmp", path)
        print("%s: %d files, %d directories, %.0f MB uncompressed, %.0f MB packed" % (
            name, len(files), len(directories), sum(len(d) for _, d, _ in files) / MB,
            os.path.getsize(path) / MB))


main()
