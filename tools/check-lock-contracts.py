#!/usr/bin/env python3
"""Checks the lock contracts of the product's C++ with Clang's thread-safety analysis.

    tools/check-lock-contracts.py BUILD_LINUX [BUILD_WINDOWS]
    ONLY=input_sink tools/check-lock-contracts.py build/fuzz   # just the files named so

Every translation unit of the product that reaches morvane/core/sync/mutex.h (the only
mutex the analysis can follow) is parsed by clang with -Wthread-safety as an error: the
Linux ones with the flags of BUILD_LINUX's compile_commands.json (a built configuration,
so generated headers exist; gcc or clang), the Win32 ones (*_win.cpp) with those of
BUILD_WINDOWS (the MinGW build) and clang aimed at MinGW. Only the analysis is asked for
(-fsyntax-only), which costs a fraction of a build.

It also fails when product code holds a std::mutex or std::condition_variable of its own:
such a lock carries no contract the compiler could check.
"""
import json
import os
import re
import shlex
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SYNC_HEADER = os.path.join(ROOT, "libs/morvane-core/src/morvane/core/sync/mutex.h")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"]([^>"]+)[>"]', re.M)
BARE_LOCK = re.compile(
    r"\bstd::(mutex|recursive_mutex|shared_mutex|timed_mutex|condition_variable(_any)?)\b")
# Flags of the build that mean nothing to an analysis-only parse, or nothing to clang.
DROPPED = {"-c", "-g", "-Wno-restrict"}
DROPPED_PREFIXES = ("-O", "-fsanitize", "-fno-sanitize", "-fno-omit-frame-pointer")


def product_source(path):
    rel = os.path.relpath(path, ROOT)
    return (rel.startswith(("apps/", "libs/")) and "/src/" in rel and
            not rel.endswith("_test.cpp") and "/testing/" not in rel)


class IncludeGraph:
    """Which of our own headers a file reaches, following quoted and angled includes
    that resolve to a file beside it or under one of the build's -I folders."""

    def __init__(self):
        self.reaches = {}

    def reaches_sync(self, path, dirs):
        seen, todo = set(), [path]
        while todo:
            current = todo.pop()
            if current in seen:
                continue
            seen.add(current)
            if current == SYNC_HEADER:
                return True
            try:
                with open(current, encoding="utf-8", errors="replace") as f:
                    text = f.read()
            except OSError:
                continue
            for name in INCLUDE.findall(text):
                for base in [os.path.dirname(current)] + dirs:
                    candidate = os.path.normpath(os.path.join(base, name))
                    if os.path.isfile(candidate):
                        todo.append(candidate)
                        break
        return False


def analysis_command(entry, windows, mingw_cxx):
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    out, skip = [], False
    for arg in args[1:]:
        if skip:
            skip = False
            continue
        if arg == "-o":
            skip = True
            continue
        if arg in DROPPED or arg.startswith(DROPPED_PREFIXES) or arg == entry["file"]:
            continue
        out.append(arg)
    head = ["clang++"]
    if windows:
        head += ["--target=x86_64-w64-mingw32"] + [f"-isystem{d}" for d in mingw_cxx]
    # Every other warning is the real builds' business; here only the contracts count.
    return head + out + ["-fsyntax-only", "-Wno-everything", "-Wthread-safety", "-Wthread-safety-beta",
                         "-Werror=thread-safety", entry["file"]]


def include_dirs(command):
    args = shlex.split(command)
    dirs = []
    for i, arg in enumerate(args):
        if arg in ("-I", "-isystem") and i + 1 < len(args):
            dirs.append(args[i + 1])
        elif arg.startswith("-I"):
            dirs.append(arg[2:])
    return dirs


def mingw_cxx_dirs():
    try:
        version = subprocess.run(["x86_64-w64-mingw32-g++-posix", "-dumpversion"],
                                 capture_output=True, text=True, check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None
    base = f"/usr/lib/gcc/x86_64-w64-mingw32/{version}/include/c++"
    return [base, f"{base}/x86_64-w64-mingw32"]


def units(build, windows, graph, mingw_cxx):
    path = os.path.join(build, "compile_commands.json")
    with open(path, encoding="utf-8") as f:
        entries = json.load(f)
    for entry in entries:
        if not product_source(entry["file"]):
            continue
        dirs = include_dirs(entry.get("command", " ".join(entry.get("arguments", []))))
        if graph.reaches_sync(entry["file"], dirs):
            yield entry, analysis_command(entry, windows, mingw_cxx)


def bare_locks():
    found = []
    for top in ("apps", "libs"):
        for folder, _, files in os.walk(os.path.join(ROOT, top)):
            for name in files:
                path = os.path.join(folder, name)
                if not name.endswith((".h", ".cpp")) or not product_source(path):
                    continue
                if path == SYNC_HEADER:
                    continue
                with open(path, encoding="utf-8", errors="replace") as f:
                    for number, line in enumerate(f, 1):
                        if BARE_LOCK.search(line.split("//")[0]):
                            found.append(f"{os.path.relpath(path, ROOT)}:{number}: {line.strip()}")
    return found


def main(argv):
    if len(argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    failed = False
    bare = bare_locks()
    if bare:
        failed = True
        print("A lock without a contract the compiler can check (use morvane::Mutex, "
              "MutexLock and CondVar from morvane/core/sync/mutex.h):")
        print("\n".join("  " + b for b in bare))

    graph = IncludeGraph()
    jobs = [(e, c) for e, c in units(argv[1], False, graph, None)]
    if len(argv) > 2:
        mingw_cxx = mingw_cxx_dirs()
        if mingw_cxx is None:
            print("The MinGW-w64 C++ compiler is missing: the Windows sources were not checked.")
            return 1
        jobs += [(e, c) for e, c in units(argv[2], True, graph, mingw_cxx)
                 if e["file"].endswith("_win.cpp")]

    only = os.environ.get("ONLY")
    if only:
        jobs = [(e, c) for e, c in jobs if only in e["file"]]

    def run(job):
        entry, command = job
        done = subprocess.run(command, cwd=entry["directory"], capture_output=True, text=True)
        return entry["file"], done.returncode, done.stderr

    with ThreadPoolExecutor(max_workers=int(os.environ.get("JOBS", "2"))) as pool:
        results = list(pool.map(run, jobs))
    for path, code, err in results:
        if code != 0:
            failed = True
            print(err.rstrip())
    broken = sum(1 for _, code, _ in results if code)
    print(f"lock contracts: {len(results)} translation units checked, {broken} with errors")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
