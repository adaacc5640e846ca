#!/usr/bin/env python3
"""Fails when an include in the helper crosses a layer the wrong way.

The helper is built in layers, each allowed to include only itself and the
layers below it:

    library loading -> vocabulary -> protocol -> file access -> byte
    scanners and platform adapters -> image -> PDF and staging -> core

Library loading (opening a shared library on first use) includes nothing of
the helper's, and file access opens libcrypto through it.

PDF and staging are siblings: neither includes the other. The first pattern
that matches a path decides its layer, so the narrow patterns come first.
Usage: check_layers.py SOURCE_DIR
"""
import pathlib
import re
import sys

LAYERS = [
    ("library loading", [r"helper_core/library_loading/"]),
    ("vocabulary", [r"helper_core/image/raster_types\.[ch]pp$"]),
    ("protocol", [r"helper_core/protocol/"]),
    ("file access", [r"helper_core/file_access/"]),
    ("byte scanners and platform adapters", [
        r"helper_core/image/(byte_readers|embedded_icc_profile|icc_profile_embedding|container_structure|"
        r"jpeg_metadata_removal)\.[ch]pp$",
        r"helper_core/pdf/pdf_name_features\.[ch]pp$",
        r"helper_core/image/platform/",
        r"helper_core/pdf/platform/",
    ]),
    ("image", [r"helper_core/image/"]),
    ("PDF and staging", [r"helper_core/pdf/", r"helper_core/staging/"]),
    ("core", [r"helper_core/session/", r"helper/"]),
]
SIBLINGS = {"PDF and staging"}
INCLUDE = re.compile(r'^\s*#\s*include\s+"((?:helper_core|helper)/[^"]+)"', re.M)


def layer_of(path):
    for rank, (name, patterns) in enumerate(LAYERS):
        for pattern in patterns:
            if re.match(pattern, path):
                return rank, name, pattern
    return None


def main():
    root = pathlib.Path(sys.argv[1])
    problems = []
    files = sorted(p for folder in ("helper_core", "helper") for p in (root / folder).rglob("*")
                   if p.suffix in (".cpp", ".hpp"))
    for file in files:
        path = file.relative_to(root).as_posix()
        own = layer_of(path)
        if own is None:
            problems.append(f"{path}: in no layer; add it to tests/layering/check_layers.py")
            continue
        for included in INCLUDE.findall(file.read_text(encoding="utf-8")):
            other = layer_of(included)
            if other is None:
                problems.append(f"{path}: includes {included}, which is in no layer")
            elif other[0] > own[0]:
                problems.append(f"{path} ({own[1]}) includes {included} ({other[1]}), a layer above it")
            elif other[0] == own[0] and own[1] in SIBLINGS and other[2] != own[2]:
                problems.append(f"{path} includes its sibling {included}")
    for problem in problems:
        print(problem)
    print(f"{len(files)} files, {len(problems)} crossings")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
