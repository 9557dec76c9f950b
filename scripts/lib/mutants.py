"""Seeded-fault runner behind scripts/mutants.

Each fault in the list replaces one exact piece of source text. For each: apply it, rebuild the
build directory incrementally, run the tests whose executables changed (the unit and concurrency
tests first, then the rest, stopping at the first failure), optionally the ThreadSanitizer
concurrency binary, and restore the source. A fault is caught when a test fails or times out.
Tests labelled wayland run one at a time, each on a fresh headless Wayland session (they end it).
"""

import argparse
import json
import os
import re
import signal
import subprocess
import sys
import time
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
FAST_LABELS = {"unit", "concurrency"}
ON_WAYLAND = [str(ROOT / "scripts" / "lib" / "on_wayland.sh")]


@dataclass
class Fault:
    ident: str
    path: str
    tsan: bool
    description: str
    original: str
    replacement: str


@dataclass
class Outcome:
    fault: Fault
    verdict: str  # caught, MISSED, BUILD-FAILS, BAD-FAULT
    detail: str = ""
    seconds: float = 0.0


def parse_faults(text):
    """Blocks of: '@ id path [tsan]', description lines, '<<<', original, '===', replacement, '>>>'."""
    faults, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        line = lines[i]
        i += 1
        if not line.startswith("@ "):
            if line.strip() and not line.startswith("#"):
                raise ValueError(f"line {i}: expected '@ id path', got {line!r}")
            continue
        words = line[2:].split()
        if len(words) not in (2, 3) or (len(words) == 3 and words[2] != "tsan"):
            raise ValueError(f"line {i}: '@ id path [tsan]' expected")
        description = []
        while i < len(lines) and lines[i] != "<<<":
            description.append(lines[i].strip())
            i += 1
        parts, current = [], []
        for i in range(i + 1, len(lines)):
            if lines[i] in ("===", ">>>"):
                parts.append("\n".join(current))
                current = []
                if lines[i] == ">>>":
                    break
            else:
                current.append(lines[i])
        else:
            raise ValueError(f"fault {words[0]}: no closing '>>>'")
        i += 1
        if len(parts) != 2:
            raise ValueError(f"fault {words[0]}: needs '<<<', original, '===', replacement, '>>>'")
        faults.append(Fault(words[0], words[1], len(words) == 3, " ".join(description).strip(),
                            parts[0], parts[1]))
    idents = [f.ident for f in faults]
    duplicates = {x for x in idents if idents.count(x) > 1}
    if duplicates:
        raise ValueError(f"fault names used twice: {sorted(duplicates)}")
    return faults


def run(command, timeout=None, **kwargs):
    return subprocess.run(command, cwd=ROOT, text=True, capture_output=True, timeout=timeout, **kwargs)


def known_targets(build):
    listed = run(["ninja", "-C", str(build), "-t", "targets", "all"], check=True).stdout
    return {line.split(":")[0] for line in listed.splitlines()}


def executables(build):
    """The built test executables and programs; a stale one whose target is gone is left out."""
    known = known_targets(build)
    return sorted(str(entry) for folder in ("tests", "bin") for entry in (build / folder).iterdir()
                  if entry.is_file() and os.access(entry, os.X_OK) and not entry.name.startswith("pelorin-bench")
                  and target_name(entry) in known)


def target_name(path):
    name = Path(path).name
    return name[3:-3] if name.startswith("lib") and name.endswith(".so") else name


def program_targets(build):
    return sorted(target_name(p) for p in executables(build) if Path(p).parent == build / "bin")


def desktop(test):
    """The Wayland session a test needs (its label wayland, wayland_app or wayland_gnome), or None."""
    labels = {label for label in test["labels"] if label.startswith("wayland")}
    return ("gnome" if "wayland_gnome" in labels else "sway") if labels else None


def starts_programs(test, build):
    return (not test["program"].startswith(str(build / "tests")) or desktop(test)
            or test["labels"] & {"integration", "discovery"})


def read_hints(report):
    """Fault name -> the tests that caught it, from an earlier --report table."""
    hints = {}
    for line in Path(report).read_text().splitlines():
        cells = [c.strip() for c in line.strip().strip("|").split("|")]
        if len(cells) == 4 and cells[2] == "caught":
            hints[cells[0]] = {name.strip() for name in cells[3].split(",")}
    return hints


def list_tests(build):
    shown = run(["ctest", "--test-dir", str(build), "--show-only=json-v1"], check=True).stdout
    tests = []
    for number, test in enumerate(json.loads(shown)["tests"], start=1):
        labels = set()
        for prop in test.get("properties", []):
            if prop["name"] == "LABELS":
                labels.update(prop["value"])
        tests.append({"number": number, "name": test["name"], "program": test["command"][0],
                      "labels": labels})
    return tests


def affected(tests, changed, build):
    """Tests whose own executable was rebuilt, and every test that starts the programs when one was."""
    programs_changed = any(Path(p).parent == build / "bin" for p in changed)
    chosen = []
    for test in tests:
        if test["program"] in changed or (programs_changed and starts_programs(test, build)):
            chosen.append(test)
    return chosen


def ctest(build, tests, timeout, *options):
    """One ctest run of `tests`; a wayland-labelled test is alone on a session of its own."""
    kind = next(filter(None, map(desktop, tests)), None)
    prefix = ["env", f"PELORIN_WAYLAND_DESKTOP={kind}", *ON_WAYLAND] if kind else []
    numbers = ",".join(str(t["number"]) for t in tests)
    return run([*prefix, "ctest", "--test-dir", str(build), "--timeout", str(timeout), *options,
                "-I", f"0,0,0,{numbers}"])


def run_ctest(build, chosen, timeout):
    """Runs the chosen tests, stopping at the first failure; returns the failed tests' names."""
    if not chosen:
        return []
    batches = [[t for t in chosen if not desktop(t)]]
    batches += [[t] for t in chosen if desktop(t)]
    failed = []
    for batch in filter(None, batches):
        result = ctest(build, batch, timeout, "-j", str(os.cpu_count() or 2), "--stop-on-failure")
        failed = re.findall(r"^\s*\d+ - (\S+) \(", result.stdout, re.MULTILINE)
        if result.returncode == 3 and desktop(batch[0]):
            sys.exit("the Wayland session cannot start here (see scripts/lib/wayland.sh's log above)")
        if result.returncode != 0 and not failed:
            return ["(ctest failed: " + (result.stdout + result.stderr).strip().splitlines()[-1] + ")"]
        if failed:
            break
    # A test that fails once on a loaded machine may be flaky: a catch is a failure seen twice.
    confirmed = []
    for name in failed:
        again = [t for t in chosen if t["name"] == name]
        if again and ctest(build, again[:1], timeout).returncode != 0:
            confirmed.append(name)
    if failed and not confirmed:
        # The stop at the flaky failure skipped the tests after it.
        return run_ctest(build, [t for t in chosen if t["name"] not in failed], timeout)
    return confirmed


def tsan_check(tsan_build, timeout):
    built = run(["ninja", "-C", str(tsan_build), "pelorin_concurrency_tests"])
    if built.returncode != 0:
        return "ThreadSanitizer build failed"
    env = dict(os.environ, TSAN_OPTIONS="halt_on_error=1")
    try:
        result = run([str(tsan_build / "tests" / "pelorin_concurrency_tests")], timeout=timeout, env=env)
    except subprocess.TimeoutExpired:
        return "pelorin_concurrency_tests under ThreadSanitizer timed out"
    if result.returncode != 0:
        reason = "data race" if "ThreadSanitizer" in result.stderr else "a test failed"
        return f"pelorin_concurrency_tests under ThreadSanitizer ({reason})"
    return None


def relinking(build, needed):
    """The executables a build of the mutated tree would link again, by ninja's dry run."""
    planned = run(["ninja", "-C", str(build), "-n", *needed], check=True).stdout
    return {str(build / path) for path in re.findall(r"Linking CXX (?:executable|shared module) (\S+)", planned)}


def build_and_run(build, chosen, timeout):
    """Builds the executables of the chosen tests and runs them; None when the build fails."""
    needed = {target_name(t["program"]) for t in chosen if t["program"].startswith(str(build / "tests"))}
    if any(starts_programs(t, build) for t in chosen):
        needed.update(program_targets(build))
    if run(["ninja", "-C", str(build), *sorted(needed)]).returncode != 0:
        return None
    return run_ctest(build, chosen, timeout)


def try_fault(fault, build, tsan_build, tests, timeout, needed, hint):
    source = ROOT / fault.path
    original = source.read_text()
    if original.count(fault.original) != 1:
        return Outcome(fault, "BAD-FAULT", f"original text found {original.count(fault.original)} times")
    source.write_text(original.replace(fault.original, fault.replacement))
    try:
        chosen = affected(tests, relinking(build, needed), build)
        hinted = [t for t in tests if t["name"] in hint]
        # The tests that caught it last time first, building only what they need.
        failed = (build_and_run(build, hinted, timeout) or []) if hinted else []
        if failed:
            return Outcome(fault, "caught", ", ".join(failed[:3]))
        # The unit tests first, building only them: most faults stop there.
        fast = [t for t in chosen if t["labels"] & FAST_LABELS]
        for tier in (fast, [t for t in chosen if not t["labels"] & FAST_LABELS]):
            failed = build_and_run(build, tier, timeout) if tier else []
            if failed is None:
                return Outcome(fault, "BUILD-FAILS", "")
            if failed:
                return Outcome(fault, "caught", ", ".join(failed[:3]))
        if fault.tsan:
            found = tsan_check(tsan_build, timeout)
            if found:
                return Outcome(fault, "caught", found)
        return Outcome(fault, "MISSED", f"{len(chosen)} tests ran")
    finally:
        source.write_text(original)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--faults", default=str(ROOT / "scripts" / "mutants.txt"))
    parser.add_argument("--only", help="comma-separated fault names")
    parser.add_argument("--build", default=str(ROOT / "build"))
    parser.add_argument("--tsan-build", default=str(ROOT / "build-tsan"))
    parser.add_argument("--timeout", type=int, default=60, help="seconds per test")
    parser.add_argument("--report", help="also write the table to this file")
    parser.add_argument("--hints", help="an earlier report: first run the tests that caught each fault there")
    parser.add_argument("--no-baseline", action="store_true",
                        help="skip the run of the unmutated suite (a failing baseline makes every verdict void)")
    parser.add_argument("--check", action="store_true", help="only check that every fault applies")
    args = parser.parse_args()

    faults = parse_faults(Path(args.faults).read_text())
    if args.only:
        wanted = args.only.split(",")
        unknown = set(wanted) - {f.ident for f in faults}
        if unknown:
            sys.exit(f"unknown faults: {sorted(unknown)}")
        faults = [f for f in faults if f.ident in wanted]
    if args.check:
        bad = [f for f in faults if (ROOT / f.path).read_text().count(f.original) != 1]
        for f in bad:
            print(f"{f.ident}: original text not found exactly once in {f.path}")
        print(f"{len(faults) - len(bad)} of {len(faults)} faults apply")
        sys.exit(1 if bad else 0)

    build, tsan_build = Path(args.build), Path(args.tsan_build)
    # Termination by the user restores the source through the finally clauses.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(130))
    started = time.monotonic()
    if run(["ninja", "-C", str(build)]).returncode != 0:
        sys.exit("the unmutated tree does not build")
    tests = list_tests(build)
    if not args.no_baseline:
        failing = run_ctest(build, tests, args.timeout)
        if failing:
            sys.exit(f"the unmutated suite fails ({', '.join(failing)}): fix that first")
    needed = sorted({target_name(p) for p in executables(build)})
    hints = read_hints(args.hints) if args.hints else {}
    outcomes = []
    for number, fault in enumerate(faults, start=1):
        begun = time.monotonic()
        outcome = try_fault(fault, build, tsan_build, tests, args.timeout, needed,
                            hints.get(fault.ident, set()))
        outcome.seconds = time.monotonic() - begun
        outcomes.append(outcome)
        print(f"[{number}/{len(faults)}] {fault.ident:34} {outcome.verdict:11} {outcome.seconds:5.0f} s  "
              f"{outcome.detail}", flush=True)
    run(["ninja", "-C", str(build)])

    caught = sum(o.verdict == "caught" for o in outcomes)
    lines = [f"| fault | where | verdict | by |", "|---|---|---|---|"]
    lines += [f"| {o.fault.ident} | {o.fault.path} | {o.verdict} | {o.detail} |" for o in outcomes]
    lines.append(f"\n{caught} of {len(outcomes)} faults caught in {time.monotonic() - started:.0f} s")
    table = "\n".join(lines)
    print("\n" + table)
    if args.report:
        Path(args.report).write_text(table + "\n")
    sys.exit(0 if caught == len(outcomes) else 1)


if __name__ == "__main__":
    main()
