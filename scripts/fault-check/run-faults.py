#!/usr/bin/env python3
"""Plant each fault of faults.json in a source tree, rebuild, run the test
suite, and record whether some test failed.

    run-faults.py TREE BUILD OUT [--faults FILE] [--exclude REGEX] [--tests REGEX]
                  [--targets T1,T2]
                  [--only F01,F02] [--skip-clean-check]

TREE   source tree (files are found by basename, so the layout may differ)
BUILD  an already configured CMake build directory of TREE
OUT    report file: one line per fault, then the totals

Every fault is undone in a finally block, also on Ctrl-C / SIGTERM. Before a
fault is applied its original text is also written next to OUT
(OUT.pending.*), so that even after a SIGKILL the next start puts the file
back first. After the last fault the build is redone once, so BUILD matches
the clean tree again.
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP_DIRS = {".git", "node_modules", "__pycache__"}


class Interrupted(Exception):
    pass


def on_signal(signum, _frame):
    raise Interrupted("signal %d" % signum)


def is_build_dir(path, build):
    name = os.path.basename(path)
    if os.path.realpath(path) == os.path.realpath(build):
        return True
    if name.startswith("build") or name.endswith("-build") or name.startswith("cmake-build"):
        return True
    return os.path.exists(os.path.join(path, "CMakeCache.txt"))


def index_tree(tree, build):
    index = {}
    for root, dirs, files in os.walk(tree):
        dirs[:] = [d for d in dirs if d not in SKIP_DIRS and not is_build_dir(os.path.join(root, d), build)]
        for name in files:
            index.setdefault(name, []).append(os.path.join(root, name))
    return index


def run(cmd, log_path, timeout=None):
    """Runs cmd in its own process group, output to log_path. Returns
    (returncode, seconds). On interrupt the whole group is killed."""
    start = time.monotonic()
    with open(log_path, "wb") as log:
        proc = subprocess.Popen(cmd, stdout=log, stderr=subprocess.STDOUT, start_new_session=True)
        try:
            rc = proc.wait(timeout=timeout)
        except BaseException:
            try:
                os.killpg(proc.pid, signal.SIGTERM)
                try:
                    proc.wait(timeout=20)
                except subprocess.TimeoutExpired:
                    os.killpg(proc.pid, signal.SIGKILL)
                    proc.wait()
            except ProcessLookupError:
                pass
            raise
    return rc, time.monotonic() - start


def build(build_dir, targets, log_path):
    cmd = ["nice", "-n", "10", "cmake", "--build", build_dir, "-j2"]
    if targets:
        cmd += ["--target"] + targets
    return run(cmd, log_path)


def test(build_dir, args, log_path):
    cmd = ["nice", "-n", "10", "ctest", "--test-dir", build_dir, "-j2", "--stop-on-failure", "--timeout", "300"]
    if args.exclude:
        cmd += ["-E", args.exclude]
    if args.tests:
        cmd += ["-R", args.tests]
    rc, seconds = run(cmd, log_path)
    with open(log_path, errors="replace") as log:
        text = log.read()
    failed = []
    for match in re.finditer(r"Test\s+#\d+:\s+(\S+)\s+\.*\s*\*+\s*(Failed|Timeout|Exception|Not Run)", text):
        failed.append("%s (%s)" % (match.group(1), match.group(2)))
    if not failed:
        for match in re.finditer(r"^\s*\d+\s+-\s+(\S+)\s+\((\w[^)]*)\)\s*$", text, re.M):
            failed.append("%s (%s)" % (match.group(1), match.group(2)))
    ran = re.search(r"(\d+)% tests passed, (\d+) tests failed out of (\d+)", text)
    return rc, seconds, failed, ran, text


class PendingRestore:
    """The original text of the file under change, kept on disk as well."""

    def __init__(self, out):
        self.meta = out + ".pending.json"
        self.data = out + ".pending.orig"

    def save(self, path, original):
        with open(self.data, "wb") as f:
            f.write(original)
            f.flush()
            os.fsync(f.fileno())
        with open(self.meta, "w") as f:
            json.dump({"path": path}, f)
            f.flush()
            os.fsync(f.fileno())

    def clear(self):
        for p in (self.meta, self.data):
            if os.path.exists(p):
                os.unlink(p)

    def recover(self):
        if not os.path.exists(self.meta):
            return None
        with open(self.meta) as f:
            path = json.load(f)["path"]
        with open(self.data, "rb") as f:
            original = f.read()
        write_bytes(path, original)
        self.clear()
        return path


def write_bytes(path, data):
    with open(path, "r+b") as f:
        f.seek(0)
        f.write(data)
        f.truncate()
        f.flush()
        os.fsync(f.fileno())


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("tree")
    parser.add_argument("build")
    parser.add_argument("out")
    parser.add_argument("--faults", default=os.path.join(HERE, "faults.json"))
    parser.add_argument("--exclude", default="", help="ctest -E regex of tests known to fail without any fault")
    parser.add_argument("--tests", default="", help="ctest -R regex: run only these tests (a fold compares the tests it touched)")
    parser.add_argument("--targets", default="", help="comma-separated build targets to rebuild instead of everything")
    parser.add_argument("--only", default="", help="comma-separated fault ids to run")
    parser.add_argument("--skip-clean-check", action="store_true",
                        help="do not build and test the unmodified tree first")
    args = parser.parse_args()
    targets = [t for t in args.targets.split(",") if t]

    tree = os.path.abspath(args.tree)
    build_dir = os.path.abspath(args.build)
    out = os.path.abspath(args.out)
    logs = out + ".logs"
    os.makedirs(logs, exist_ok=True)

    signal.signal(signal.SIGINT, on_signal)
    signal.signal(signal.SIGTERM, on_signal)

    pending = PendingRestore(out)
    recovered = pending.recover()
    if recovered:
        print("restored %s, left changed by an earlier run that was killed" % recovered, flush=True)

    with open(args.faults) as f:
        faults = json.load(f)
    if args.only:
        wanted = set(args.only.split(","))
        faults = [fault for fault in faults if fault["id"] in wanted]

    index = index_tree(tree, build_dir)
    report = open(out, "w")

    def emit(line):
        report.write(line + "\n")
        report.flush()
        print(line, flush=True)

    emit("# tree %s  build %s  faults %s (%d)" % (tree, build_dir, args.faults, len(faults)))
    emit("# ctest exclude: %s" % (args.exclude or "(none)"))
    results = {}
    started = time.monotonic()
    try:
        if not args.skip_clean_check:
            rc, b_s = build(build_dir, targets, os.path.join(logs, "clean.build.log"))
            if rc != 0:
                emit("ABORT: the unmodified tree does not build (see %s)" % os.path.join(logs, "clean.build.log"))
                return 2
            rc, t_s, failed, _, _ = test(build_dir, args, os.path.join(logs, "clean.test.log"))
            if rc != 0:
                emit("ABORT: the suite fails on the unmodified tree: %s" % (", ".join(failed) or "see log"))
                return 2
            emit("# clean tree: build %.0fs, suite passes in %.0fs" % (b_s, t_s))

        for fault in faults:
            fid = fault["id"]
            head = "%s %-28s %-18s %-20s" % (fid, fault["file"], fault["area"], fault["kind"])
            paths = index.get(fault["file"], [])
            if len(paths) != 1:
                results[fid] = "missing"
                emit("%s missing        (%d files named %s)" % (head, len(paths), fault["file"]))
                continue
            path = paths[0]
            with open(path, "rb") as f:
                original = f.read()
            text = original.decode("utf-8")
            count = text.count(fault["old"])
            if count != 1:
                results[fid] = "missing"
                emit("%s missing        (old text found %d times in %s)" % (head, count, os.path.relpath(path, tree)))
                continue
            mutated = text.replace(fault["old"], fault["new"], 1).encode("utf-8")
            t0 = time.monotonic()
            pending.save(path, original)
            try:
                write_bytes(path, mutated)
                rc, b_s = build(build_dir, targets, os.path.join(logs, fid + ".build.log"))
                if rc != 0:
                    results[fid] = "compile-error"
                    emit("%s compile-error  build %4.0fs" % (head, b_s))
                    continue
                rc, t_s, failed, ran, _ = test(build_dir, args, os.path.join(logs, fid + ".test.log"))
                total = time.monotonic() - t0
                if rc != 0:
                    results[fid] = "caught"
                    first = failed[0] if failed else "ctest exit status %d, see log" % rc
                    emit("%s caught         build %4.0fs test %4.0fs total %4.0fs  by %s" % (head, b_s, t_s, total, first))
                else:
                    results[fid] = "not-caught"
                    emit("%s NOT CAUGHT     build %4.0fs test %4.0fs total %4.0fs" % (head, b_s, t_s, total))
            finally:
                # A second Ctrl-C must not cut the restore short.
                old_mask = signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGINT, signal.SIGTERM})
                try:
                    write_bytes(path, original)
                    pending.clear()
                finally:
                    signal.pthread_sigmask(signal.SIG_SETMASK, old_mask)
    except Interrupted as e:
        emit("# interrupted (%s); the changed file has been restored" % e)
        raise SystemExit(130)
    finally:
        ran = [fid for fid, r in results.items() if r in ("caught", "not-caught")]
        caught = [fid for fid, r in results.items() if r == "caught"]
        not_caught = [fid for fid, r in results.items() if r == "not-caught"]
        compile_errors = [fid for fid, r in results.items() if r == "compile-error"]
        missing = [fid for fid, r in results.items() if r == "missing"]
        emit("caught %d of %d" % (len(caught), len(ran)))
        emit("# not caught: %s" % (" ".join(not_caught) or "none"))
        emit("# compile-error: %d %s" % (len(compile_errors), " ".join(compile_errors)))
        emit("# missing: %d %s" % (len(missing), " ".join(missing)))
        emit("# faults listed: %d, elapsed %.0f min" % (len(faults), (time.monotonic() - started) / 60))
        # Whatever happened, leave the build matching the clean tree (a
        # further Ctrl-C skips this; the sources are already restored).
        try:
            rc, b_s = build(build_dir, targets, os.path.join(logs, "final.build.log"))
            emit("# final rebuild of the clean tree: %s (%.0fs)" % ("ok" if rc == 0 else "FAILED", b_s))
        except Interrupted:
            emit("# final rebuild skipped (interrupted); run: cmake --build %s" % build_dir)
        report.close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
