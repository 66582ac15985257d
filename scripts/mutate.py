#!/usr/bin/python3
"""Mutation run: plants one small fault at a time (from scripts/mutants.py) in a copy of the
working tree, rebuilds only what the fault touches, runs the module's suites, and counts the
faults that some test notices. Not part of the test command: a full run takes half an hour.

    scripts/mutate.py                     every module
    scripts/mutate.py --module xmpp       one module (a word of its name)
    scripts/mutate.py --only 'fsync'      the mutants whose description holds the word
    scripts/mutate.py --equivalent        also run the mutants marked equivalent (they must live)

The copy and its build stay in build/mutate, so that a second run builds only what changed.
A module's quick suites run first; its slow ones (real servers, whole programs) only for a
mutant that the quick ones let live. As root, the run has a network namespace of its own, so
that tests on fixed ports cannot meet another run's."""

import argparse
import filecmp
import os
import resource
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "scripts"))
import mutants  # noqa: E402


def private_network():
    """Runs this script again in a network namespace of its own with loopback up."""
    if os.environ.get("PARLAVANT_PRIVATE_NETWORK") or os.geteuid() != 0:
        return
    if shutil.which("unshare") is None or shutil.which("ip") is None:
        return
    env = dict(os.environ, PARLAVANT_PRIVATE_NETWORK="1")
    script = 'ip link set lo up && exec "$@"'
    os.execvpe("unshare", ["unshare", "--net", "sh", "-c", script, "sh",
                           sys.executable, *sys.argv], env)


def sync_copy(src):
    """Copies the tracked and new files of the working tree into `src`, touching only those
    whose content differs, so that the copy's build redoes only what changed."""
    listed = subprocess.run(
        ["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
        cwd=ROOT, check=True, capture_output=True).stdout.decode().split("\0")
    changed = 0
    for name in filter(None, listed):
        origin = os.path.join(ROOT, name)
        if not os.path.isfile(origin) or os.path.islink(origin):
            continue
        target = os.path.join(src, name)
        if os.path.isfile(target) and filecmp.cmp(origin, target, shallow=False):
            continue
        os.makedirs(os.path.dirname(target), exist_ok=True)
        shutil.copy2(origin, target)
        os.utime(target)  # newer than anything built from the old content
        changed += 1
    return changed


def bounded_memory():
    # A fault may make a loop read without end: it must end the test, not the machine.
    resource.setrlimit(resource.RLIMIT_AS, (8 << 30, 8 << 30))


def run(cmd, timeout=None, quiet=True, bounded=False):
    """Runs a command in a session of its own; a command past its time is ended with all it
    started. Returns (exit status or None on timeout, output)."""
    proc = subprocess.Popen(cmd, stdout=subprocess.PIPE if quiet else None,
                            stderr=subprocess.STDOUT if quiet else None, start_new_session=True,
                            preexec_fn=bounded_memory if bounded else None)
    try:
        out, _ = proc.communicate(timeout=timeout)
        return proc.returncode, (out or b"").decode(errors="replace")
    except subprocess.TimeoutExpired:
        if proc.pid > 1:
            os.killpg(proc.pid, 9)
        proc.communicate()
        return None, ""


def build(bld):
    status, out = run(["cmake", "--build", bld])
    return status == 0, out


def run_suites(bld, suites, timeouts):
    """True when every suite passes; the first that fails (or hangs) ends the run."""
    for suite in suites:
        status, _ = run(["ctest", "--test-dir", bld, "-R", "^%s$" % suite, "--timeout",
                         str(int(timeouts[suite])), "--output-on-failure"],
                        timeout=timeouts[suite] + 30, bounded=True)
        if status != 0:
            return False, suite
    return True, None


def apply(edits, src):
    """Plants the edits; returns what to put back. Each edit's text must occur exactly once."""
    saved = {}
    for path, old, new in edits:
        full = os.path.join(src, path)
        text = saved.get(full)
        if text is None:
            with open(full, encoding="utf-8") as f:
                text = f.read()
            saved[full] = text
        with open(full, encoding="utf-8") as f:
            current = f.read()
        count = current.count(old)
        if count != 1:
            restore(saved)
            raise SystemExit("%s: the text to change occurs %d times:\n%s" % (path, count, old))
        with open(full, "w", encoding="utf-8") as f:
            f.write(current.replace(old, new))
    return saved


def restore(saved):
    for full, text in saved.items():
        with open(full, "w", encoding="utf-8") as f:
            f.write(text)


def check_table():
    bad = 0
    for module in mutants.MODULES:
        for mutant in module.mutants:
            for path, old, new in mutant.edits:
                with open(os.path.join(ROOT, path), encoding="utf-8") as f:
                    count = f.read().count(old)
                if count != 1 or old == new:
                    bad += 1
                    print("%s: %s: found %d times" % (module.name, mutant.what, count))
    counts = ", ".join("%s %d" % (m.name, len(m.mutants)) for m in mutants.MODULES)
    print("table: %s; %d to fix" % (counts, bad))
    return 1 if bad else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--module", help="only the modules whose name holds this")
    parser.add_argument("--only", help="only the mutants whose description holds this")
    parser.add_argument("--equivalent", action="store_true",
                        help="also run the mutants marked equivalent")
    parser.add_argument("--check", action="store_true",
                        help="only check that every mutant's text is found once, then stop")
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"))
    args = parser.parse_args()
    if args.check:
        return check_table()
    private_network()

    src, bld = os.path.join(args.work, "src"), os.path.join(args.work, "build")
    os.makedirs(src, exist_ok=True)
    print("copy: %d files brought up to date" % sync_copy(src), flush=True)
    if not os.path.exists(os.path.join(bld, "build.ninja")):
        status, out = run(["cmake", "-S", src, "-B", bld, "-G", "Ninja",
                           "-DCMAKE_BUILD_TYPE=Debug", "-DPARLAVANT_TESTS=ON"])
        if status != 0:
            raise SystemExit("cannot configure the copy:\n" + out)
    print("building the copy ...", flush=True)
    ok, out = build(bld)
    if not ok:
        raise SystemExit("the copy does not build:\n" + out[-4000:])

    modules = [m for m in mutants.MODULES
               if not args.module or args.module.lower() in m.name.lower()]
    report = []
    for module in modules:
        chosen = [m for m in module.mutants
                  if (not args.only or args.only.lower() in m.what.lower())
                  and (args.equivalent or not m.equivalent)]
        if not chosen:
            continue
        # A suite may take five times as long as it does unmutated before it counts as hung.
        timeouts = {}
        for suite in module.suites + module.slow:
            started = time.monotonic()
            passed, _ = run_suites(bld, [suite], {suite: 600})
            if not passed:
                raise SystemExit("%s fails before any change: fix that first" % suite)
            timeouts[suite] = max(30.0, 5 * (time.monotonic() - started))
        print("\n== %s: %d mutants ==" % (module.name, len(chosen)), flush=True)
        killed, lived, stillborn = [], [], []
        for mutant in chosen:
            saved = apply(mutant.edits, src)
            try:
                built, out = build(bld)
                if not built:
                    stillborn.append(mutant)
                    verdict = "does not build"
                else:
                    passed, by = run_suites(bld, module.suites, timeouts)
                    if passed and module.slow:
                        passed, by = run_suites(bld, module.slow, timeouts)
                    (lived if passed else killed).append(mutant)
                    verdict = "LIVES" if passed else "killed by " + by
            finally:
                restore(saved)
            tag = " (marked equivalent)" if mutant.equivalent else ""
            print("  %-6s %s%s  [%s]" % ("LIVES" if verdict == "LIVES" else "killed",
                                       mutant.what, tag, verdict), flush=True)
        counted = [m for m in killed + lived if not m.equivalent]
        report.append((module, counted, [m for m in killed if not m.equivalent],
                       [m for m in lived if not m.equivalent],
                       [m for m in module.mutants if m.equivalent], stillborn))
    build(bld)  # back to the unmutated program

    print("\n== summary ==")
    for module, counted, killed, lived, equivalent, stillborn in report:
        share = 100.0 * len(killed) / len(counted) if counted else 100.0
        print("%-40s %3d of %3d killed (%.0f%%); %d marked equivalent, left out" %
              (module.name, len(killed), len(counted), share, len(equivalent)))
        for m in lived:
            print("    lives: " + m.what)
        for m in stillborn:
            print("    does not build (fix the table): " + m.what)
        for m in equivalent:
            print("    equivalent: %s: %s" % (m.what, m.equivalent))
    return 0


if __name__ == "__main__":
    sys.exit(main())
