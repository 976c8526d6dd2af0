#!/usr/bin/env python3
"""Checks every include in the tree against the layer graph.

    check_layers.py SOURCE_DIR LAYERS_TXT

LAYERS_TXT has one line per folder, "folder: used folders...", as CMake writes
it from the tarn_layer() declarations. A file in a folder may include headers
of its own folder and of the folders it uses, and of what those use in turn.
tests/, bench/, fuzz/ and examples/ sit above everything. The movie record's
headers are private to movie/, tests included. Prints every breach and exits 1
when there is one.
"""
import pathlib
import re
import sys

TOP = ("tests", "bench", "fuzz", "examples")
MOVIE_PRIVATE = {
    "movie/movie_internal.h", "movie/memory_plan.h", "movie/movie_clock.h", "movie/movie_input.h",
    "movie/movie_picture.h", "movie/movie_sound.h", "movie/movie_source.h", "movie/movie_stats.h",
    "movie/movie_threads.h",
}
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def read_graph(path):
    uses = {}
    for line in pathlib.Path(path).read_text().splitlines():
        if ":" in line:
            name, rest = line.split(":", 1)
            uses[name.strip()] = rest.split()
    return uses


def closure(uses, folder, seen=None):
    seen = set() if seen is None else seen
    for u in uses.get(folder, []):
        if u not in seen:
            seen.add(u)
            closure(uses, u, seen)
    return seen


def folder_of(path, folders):
    """The deepest declared folder holding path ("platform/sdl" before "platform")."""
    best = None
    for f in folders:
        if path.startswith(f + "/") and (best is None or len(f) > len(best)):
            best = f
    return best


def main():
    root = pathlib.Path(sys.argv[1])
    uses = read_graph(sys.argv[2])
    folders = list(uses) + list(TOP)
    allowed = {f: closure(uses, f) | {f} for f in uses}
    breaches = []
    checked = 0
    for file in sorted(root.rglob("*")):
        if file.suffix not in (".cc", ".h", ".c") or not file.is_file():
            continue
        rel = file.relative_to(root).as_posix()
        own = folder_of(rel, folders)
        if own is None:
            continue
        checked += 1
        for n, line in enumerate(file.read_text(errors="replace").splitlines(), 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            inc = m.group(1)
            target = folder_of(inc, folders)
            if target is None:
                continue  # a header beside the file, or a generated one
            if inc in MOVIE_PRIVATE and own != "movie":
                breaches.append(f"{rel}:{n}: includes {inc}, which is private to movie/")
            elif own not in TOP and target not in allowed[own]:
                breaches.append(f"{rel}:{n}: includes {inc}, but {own}/ may not use {target}/")
    for b in breaches:
        print(b)
    print(f"check_layers: {checked} files, {len(breaches)} wrong-way includes")
    return 1 if breaches else 0


if __name__ == "__main__":
    sys.exit(main())
