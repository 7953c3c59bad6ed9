#!/usr/bin/env python3
"""Runs clang-tidy over every source file of one folder that the build compiles.

Usage: run_tidy.py [--skip-if-empty] CLANG_TIDY BUILD_DIR FOLDER

The files come from the build's compile_commands.json, so each is analysed with the flags it is
built with. The folder's .clang-tidy configuration is the one at the root of the tree. Fails when
any file has a finding, and when the build compiles no file of the folder (nothing would be
checked); with --skip-if-empty that case reports the test as skipped instead (exit status 77),
for a folder whose program only some builds make.
"""
import json
import os
import subprocess
import sys

SKIPPED = 77


def main():
    args = sys.argv[1:]
    skip_if_empty = bool(args) and args[0] == "--skip-if-empty"
    if skip_if_empty:
        args = args[1:]
    if len(args) != 3:
        sys.exit(__doc__)
    clang_tidy, build_dir, folder = args
    folder = os.path.realpath(folder) + os.sep
    with open(os.path.join(build_dir, "compile_commands.json"), encoding="utf-8") as f:
        entries = json.load(f)
    files = sorted({
        os.path.realpath(os.path.join(e["directory"], e["file"]))
        for e in entries
        if os.path.realpath(os.path.join(e["directory"], e["file"])).startswith(folder)
    })
    if not files and skip_if_empty:
        print("this build compiles no source file of %s" % folder)
        return SKIPPED
    if not files:
        sys.exit("no source file of %s is in %s/compile_commands.json" % (folder, build_dir))
    failed = []
    for path in files:
        result = subprocess.run([clang_tidy, "-p", build_dir, "--quiet", path],
                                stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        # clang-tidy's own chatter ("N warnings generated.") goes; findings and errors stay.
        lines = [l for l in result.stdout.splitlines() if not l.endswith(" generated.")]
        if result.returncode != 0:
            failed.append(path)
            print("\n".join(lines))
    print("clang-tidy: %d files, %d with findings" % (len(files), len(failed)))
    for path in failed:
        print("  " + path)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
