#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus: small packages covering the shapes the
extractor handles (directories, nesting, modes, links, unsafe names,
duplicates, stored and deflated data, an empty archive)."""
import os
import stat
import sys
import zipfile

out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
os.makedirs(out, exist_ok=True)


def entry(name, data=b"", mode=0o644, kind=stat.S_IFREG, compress=zipfile.ZIP_DEFLATED):
    info = zipfile.ZipInfo(name, date_time=(2024, 1, 2, 3, 4, 6))
    info.external_attr = (kind | mode) << 16
    if kind == stat.S_IFDIR:
        info.external_attr |= 0x10
    info.compress_type = compress
    info.create_system = 3
    return info, data


def package(file_name, entries):
    with zipfile.ZipFile(os.path.join(out, file_name), "w") as archive:
        for info, data in entries:
            archive.writestr(info, data)


package("empty.zip", [])
package("nested.zip", [
    entry("docs/", kind=stat.S_IFDIR, mode=0o755),
    entry("docs/readme.txt", b"read me\n" * 20),
    entry("a/b/c/deep.bin", bytes(range(256)) * 4, compress=zipfile.ZIP_STORED),
    entry("bin/tool", b"#!/bin/sh\necho hi\n", mode=0o4755),
])
package("links.zip", [
    entry("lib/libx.so.1", b"library"),
    entry("lib/libx.so", b"libx.so.1", mode=0o777, kind=stat.S_IFLNK),
    entry("bin/up", b"../lib/libx.so", mode=0o777, kind=stat.S_IFLNK),
    entry("escape", b"../../outside", mode=0o777, kind=stat.S_IFLNK),
    entry("escape/through", b"written through a link?"),
])
package("unsafe.zip", [
    entry("ok.txt", b"fine"),
    entry("../evil.txt", b"evil"),
    entry("/abs.txt", b"evil"),
    entry("C:\\drive.txt", b"evil"),
    entry("a\\..\\..\\back.txt", b"evil"),
])
with zipfile.ZipFile(os.path.join(out, "duplicates.zip"), "w") as archive:
    import warnings
    warnings.simplefilter("ignore")
    archive.writestr(*entry("same.txt", b"first"))
    archive.writestr(*entry("same.txt", b"second"))
package("file_then_dir.zip", [
    entry("a", b"a plain file"),
    entry("a/b", b"below a file"),
])
