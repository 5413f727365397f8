#!/usr/bin/env python3
"""Mutation testing: how many of the catalogue's mistakes does the test suite catch?

    mutate.py [--rev REV] [--only ID...] [--list] [--check] [--table] [--keep-going]
              [--exclude REGEX]
              [--jobs N] [--timeout S] [--no-clean-run] [--catalogue FILE] [--work DIR]

Each mutant of the catalogue (scripts/mutants.txt: a file, an exact text, its replacement, the
fault class it stands for) is applied alone to a scratch clone of revision REV (default HEAD;
uncommitted changes are not part of it) in DIR/src (default build/mutate/src, reused between
runs). The clone is configured once with the debug preset and built once; per mutant the file is
patched, the build is incremental, and `ctest --preset debug -jN --stop-on-failure --timeout S`
runs the whole suite (a test that outlives S seconds, default 60, counts as failed). Then the
file is restored. The suite runs in four parts, one after the other until a test fails: the unit
tests of the test programs of the mutated file's folder, their other tests, the other unit tests,
the rest. That only makes a kill come sooner: a mutant that survives has passed every test.

A mutant is killed when a test fails, survived when every test passes, and invalid when its text
does not occur exactly once in its file, its build fails (GoogleTest's listing of the tests is
part of the build), or ctest fails without naming a test: an invalid mutant is never counted as
killed. The tests that killed a mutant are run once more; one that passes then is reported as
flaky. Before the first mutant the unmutated suite runs once (skip with --no-clean-run): a suite
that fails on its own would kill every mutant.

Prints id, class, result and seconds per mutant and the line
"killed K, survived S, invalid I of N (T s)"; writes DIR/results.json (DIR/results-only.json for
a run with --only) and tells what changed since the last DIR/results.json. Logs of each build and
test run are kept in DIR/logs/. --keep-going runs the whole suite for every mutant, so that the
results name every test that fails; --list prints the catalogue and its fault classes, --check
only checks that each text occurs once in REV, --table prints DIR/results.json as the Markdown
table of docs/testing.md. Exit status 0 unless the tool itself fails (3): survivors are results,
not errors. Standard library only.
"""

import argparse
import datetime
import json
import os
import re
import shutil
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PRESET = "debug"
RESULT_WIDTH = 9  # "survived"


class ToolError(Exception):
    """The tool cannot go on: a bad catalogue, a clone or build of the unmutated tree that fails."""


# --- the catalogue ---------------------------------------------------------------------------

class Mutant:
    def __init__(self, ident, line):
        self.id = ident
        self.line = line  # where its record starts in the catalogue
        self.fault = None
        self.file = None
        self.what = None
        self.recheck = None
        self.original = []
        self.replacement = []

    @property
    def original_text(self):
        return "\n".join(self.original)

    @property
    def replacement_text(self):
        return "\n".join(self.replacement)


def parse_catalogue(path):
    """Returns ({fault class: description}, [Mutant]) read from `path`; see scripts/mutants.txt."""
    classes = {}
    mutants = []
    current = None
    with open(path, encoding="utf-8") as handle:
        lines = handle.read().split("\n")
    for number, line in enumerate(lines, 1):
        where = f"{path}:{number}"
        if line.startswith("-") or line.startswith("+"):
            if current is None:
                raise ToolError(f"{where}: a text line outside a mutant")
            if line[0] == "+":
                current.replacement.append(line[1:])
            elif current.replacement:
                raise ToolError(f"{where}: '-' after '+' in mutant {current.id}")
            else:
                current.original.append(line[1:])
            continue
        if not line.strip() or line.startswith("#"):
            continue
        key, _, value = line.partition(" ")
        value = value.strip()
        if key == "fault":
            name, _, description = value.partition(" ")
            if not name or not description.strip() or name in classes:
                raise ToolError(f"{where}: 'fault NAME DESCRIPTION', each name once")
            classes[name] = description.strip()
        elif key == "mutant":
            if not re.fullmatch(r"[a-z0-9][a-z0-9-]*", value):
                raise ToolError(f"{where}: a mutant id is lower-case letters, digits and '-'")
            current = Mutant(value, number)
            mutants.append(current)
        elif key in ("class", "file", "what", "recheck") and current is not None:
            if getattr(current, "fault" if key == "class" else key) is not None:
                raise ToolError(f"{where}: '{key}' twice in mutant {current.id}")
            setattr(current, "fault" if key == "class" else key, value)
        else:
            raise ToolError(f"{where}: unknown line {line!r}")
    seen = set()
    for mutant in mutants:
        where = f"{path}:{mutant.line}: mutant {mutant.id}"
        if mutant.id in seen:
            raise ToolError(f"{where}: the id is taken")
        seen.add(mutant.id)
        for field in ("fault", "file", "what"):
            if not getattr(mutant, field):
                raise ToolError(f"{where}: no '{'class' if field == 'fault' else field}'")
        if mutant.fault not in classes:
            raise ToolError(f"{where}: fault class {mutant.fault!r} is not declared")
        if not mutant.original_text:
            raise ToolError(f"{where}: no original text ('-' lines)")
        if mutant.original_text == mutant.replacement_text:
            raise ToolError(f"{where}: the replacement is the original text")
    return classes, mutants


def occurrences(tree, mutant):
    path = os.path.join(tree, mutant.file)
    if not os.path.isfile(path):
        return -1
    with open(path, encoding="utf-8") as handle:
        return handle.read().count(mutant.original_text)


# --- running commands ------------------------------------------------------------------------

def run(command, cwd, log=None, timeout=None):
    """Runs `command`; returns its exit status (None when it outlived `timeout`) and its output,
    which also goes to `log` when given. Its whole process group goes when it times out."""
    process = subprocess.Popen(command, cwd=cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               stdin=subprocess.DEVNULL, text=True, errors="replace",
                               start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
        status = process.returncode
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, 9)
        output, _ = process.communicate()
        status = None
    if log:
        with open(log, "w", encoding="utf-8") as handle:
            handle.write(output)
    return status, output


def git(cwd, *args):
    status, output = run(["git", *args], cwd)
    if status != 0:
        raise ToolError(f"git {' '.join(args)} in {cwd} failed:\n{output}")
    return output.strip()


def prepare_clone(source, revision, clone):
    """Checks `revision` of `source` out in `clone`, made on first use, and returns its commit."""
    commit = git(source, "rev-parse", "--verify", f"{revision}^{{commit}}")
    if not os.path.isdir(os.path.join(clone, ".git")):
        os.makedirs(os.path.dirname(clone), exist_ok=True)
        git(os.path.dirname(clone), "clone", "--quiet", "--no-checkout", source, clone)
    if run(["git", "cat-file", "-e", f"{commit}^{{commit}}"], clone)[0] != 0:
        git(clone, "fetch", "--quiet", source, commit)
    # Files a stopped run left mutated are put back; checkout gives them a new time, so the next
    # build is right. The build folder is ignored by git and stays.
    git(clone, "checkout", "--quiet", "--force", "--detach", commit)
    git(clone, "reset", "--quiet", "--hard", commit)
    return commit


def build(clone, jobs, log):
    if not os.path.isfile(os.path.join(clone, "build", PRESET, "CMakeCache.txt")):
        status, _ = run(["cmake", "--preset", PRESET], clone, log)
        if status != 0:
            return False
    status, output = run(["cmake", "--build", "--preset", PRESET, "-j", str(jobs)], clone)
    with open(log, "a", encoding="utf-8") as handle:
        handle.write(output)
    return status == 0


# "  12 - Suite.Test (Failed)"; a parameterised test's line has "# GetParam() = ..." before the
# parenthesised outcome.
FAILED_TEST = re.compile(r"^\s*(\d+) - (\S+)(?:\s+#.*)? \(([^()]+)\)\s*$")

# The tests that a mutant of a folder meets first: those of the test programs that test it. The
# rest of the suite follows, so every mutant still meets every test; this only makes a kill come
# sooner. Keys are a mutated file's first folder, values prefixes of test programs' paths in the
# build folder.
NEAR_TESTS = {
    "filehosting": ("tests/filehosting",),
    "vexohost": ("tests/vexohost/",),
    "pyload": ("tests/pyload/",),
    "common": ("tests/common/", "tests/pyload/", "tests/vexohost/"),
    "cli": ("tests/cli/", "tests/e2e/"),
}


def list_tests(clone):
    """[(ctest's number, the test program's path in the build folder, labels)] of every test."""
    status, output = run(["ctest", "--preset", PRESET, "--show-only=json-v1"], clone)
    if status != 0:
        raise ToolError(f"ctest cannot list the tests:\n{output}")
    build_dir = os.path.join(clone, "build", PRESET) + os.sep
    tests = []
    for number, test in enumerate(json.loads(output[output.index("{"):])["tests"], 1):
        program = (test.get("command") or [""])[0]
        labels = set()
        for prop in test.get("properties", []):
            if prop.get("name") == "LABELS":
                labels.update(prop.get("value") or [])
        tests.append((number, program[len(build_dir):] if program.startswith(build_dir) else "",
                      labels))
    return tests


def phases(tests, mutated_file):
    """The whole suite in the order a mutant of `mutated_file` meets it, as lists of test
    numbers: the hermetic (unit) tests near the file, the other tests near it, the other unit
    tests, all the rest."""
    near = NEAR_TESTS.get(mutated_file.split("/", 1)[0], ())
    order = [[], [], [], []]
    for number, program, labels in tests:
        is_near = bool(near) and program.startswith(near)
        order[(0 if is_near else 2) + (0 if "unit" in labels else 1)].append(number)
    return [phase for phase in order if phase]


def ctest_records(clone):
    return os.path.join(clone, "build", PRESET, "Testing", "Temporary")


def keep_test_costs(clone, kept):
    """Keeps ctest's record of how long each test takes (which orders the tests) in `kept`."""
    costs = os.path.join(ctest_records(clone), "CTestCostData.txt")
    if os.path.isfile(costs):
        shutil.copyfile(costs, kept)


def restore_test_costs(clone, kept):
    """Puts back the test costs kept from the unmutated suite (or, with none kept, lets the next
    run measure them afresh) and forgets which tests failed last: every mutant meets the tests in
    the same order, whatever the mutants before it did."""
    records = ctest_records(clone)
    costs = os.path.join(records, "CTestCostData.txt")
    if os.path.isfile(kept):
        os.makedirs(records, exist_ok=True)
        shutil.copyfile(kept, costs)
    elif os.path.exists(costs):
        os.remove(costs)
    failed = os.path.join(records, "LastTestsFailed.log")
    if os.path.exists(failed):
        os.remove(failed)


def run_suite(clone, jobs, timeout, keep_going, log, phase_lists=None, exclude=None):
    """Runs the test suite, in the given phases (lists of test numbers) one after the other
    until one fails, or whole; returns (passed, [(number, "name (outcome)")] of the tests that
    failed, seconds)."""
    command = ["ctest", "--preset", PRESET, "-j", str(jobs), "--timeout", str(timeout)]
    if not keep_going:
        command.append("--stop-on-failure")
    if exclude:
        command += ["-E", exclude]
    start = time.monotonic()
    output = ""
    passed = True
    for index, phase in enumerate(phase_lists or [None]):
        selection = []
        if phase is not None:
            selection_file = f"{log}.phase{index + 1}"
            with open(selection_file, "w", encoding="utf-8") as handle:
                handle.write("0,0,0," + ",".join(str(n) for n in phase) + "\n")
            selection = ["-I", selection_file]
        # However a mutant hangs the suite, it ends: every test has `timeout`, ctest an hour.
        status, text = run(command + selection, clone, timeout=3600)
        output += text
        if status is None:
            output += "\n(the run outlived an hour and was killed)\n"
        if status != 0:
            passed = False
            break
    with open(log, "w", encoding="utf-8") as handle:
        handle.write(output)
    seconds = time.monotonic() - start
    failed = []
    for part in output.split("The following tests FAILED:")[1:]:
        for line in part.splitlines()[1:]:
            match = FAILED_TEST.match(line)
            if not match:
                break
            failed.append((int(match.group(1)), f"{match.group(2)} ({match.group(3)})"))
    if "(the run outlived an hour" in output:
        failed.append((0, "(the whole run outlived an hour)"))
    return passed, failed, seconds


# --- one mutant ------------------------------------------------------------------------------

def write_newer(path, text, previous_mtime_ns):
    """Writes `text` to `path` with a modification time past `previous_mtime_ns`, so that ninja
    rebuilds from it even when the clock is coarse."""
    with open(path, "w", encoding="utf-8") as handle:
        handle.write(text)
    mtime = max(os.stat(path).st_mtime_ns, previous_mtime_ns + 1_000_000)
    os.utime(path, ns=(mtime, mtime))
    return mtime


def confirm(clone, args, failed, log):
    """Whether the first test that failed fails again when run once more: a test that fails only
    once may be a flaky one that the mutant did not touch. None when it is not run again: it
    timed out (and would take as long again), or the whole run did."""
    number, name = failed[0]
    if number <= 0 or name.endswith("(Timeout)"):
        return None
    # By name: ctest reports a test's number among all tests, while -I counts only those that the
    # preset's filter leaves.
    test = name.rsplit(" (", 1)[0]
    status, text = run(["ctest", "--preset", PRESET, "--timeout", str(args.timeout),
                        "-R", "^" + re.escape(test) + "$"], clone, timeout=3600)
    with open(log, "w", encoding="utf-8") as handle:
        handle.write(text)
    if f": {test} " not in text:
        return None
    return status != 0


def try_mutant(mutant, clone, args, logs, tests, costs):
    """Returns the result record of `mutant`. The file is restored whatever happens."""
    start = time.monotonic()
    record = {"id": mutant.id, "class": mutant.fault, "file": mutant.file, "result": "invalid",
              "reason": "", "failed_tests": [], "seconds": 0.0, "build_seconds": 0.0}
    path = os.path.join(clone, mutant.file)
    count = occurrences(clone, mutant)
    if count != 1:
        record["reason"] = ("no such file" if count < 0 else
                            f"the original text occurs {count} times, not once")
    else:
        with open(path, encoding="utf-8") as handle:
            original = handle.read()
        mtime = os.stat(path).st_mtime_ns
        try:
            mtime = write_newer(path, original.replace(mutant.original_text,
                                                       mutant.replacement_text), mtime)
            build_log = os.path.join(logs, f"{mutant.id}.build.log")
            built = build(clone, args.jobs, build_log)
            record["build_seconds"] = round(time.monotonic() - start, 1)
            if not built:
                record["reason"] = f"the build failed ({os.path.relpath(build_log, ROOT)})"
            else:
                suite_log = os.path.join(logs, f"{mutant.id}.ctest.log")
                restore_test_costs(clone, costs)
                passed, failed, _ = run_suite(
                    clone, args.jobs, args.timeout, args.keep_going, suite_log,
                    None if args.keep_going else phases(tests, mutant.file), args.exclude)
                if passed:
                    record["result"] = "survived"
                elif failed:
                    record["result"] = "killed"
                    record["failed_tests"] = [name for _, name in failed]
                    record["confirmed"] = confirm(clone, args, failed,
                                                  os.path.join(logs, f"{mutant.id}.again.log"))
                else:
                    record["reason"] = ("ctest failed without naming a failing test "
                                        f"({os.path.relpath(suite_log, ROOT)})")
        finally:
            write_newer(path, original, mtime)
    record["seconds"] = round(time.monotonic() - start, 1)
    return record


# --- reports ---------------------------------------------------------------------------------

def summary_line(records, seconds):
    counts = {result: sum(1 for r in records if r["result"] == result)
              for result in ("killed", "survived", "invalid")}
    return (f"killed {counts['killed']}, survived {counts['survived']}, "
            f"invalid {counts['invalid']} of {len(records)} ({seconds:.0f} s)")


def print_record(record, id_width, class_width):
    line = (f"{record['id']:<{id_width}}  {record['class']:<{class_width}}  "
            f"{record['result']:<{RESULT_WIDTH}}{record['seconds']:6.1f} s "
            f"(build {record['build_seconds']:4.1f} s)")
    if record["result"] == "killed":
        line += f"  by {record['failed_tests'][0]}"
        if record.get("confirmed") is False:
            line += ", which passed when run again (flaky?)"
    elif record["reason"]:
        line += f"  {record['reason']}"
    print(line, flush=True)


def compare(previous, records):
    """Lines telling which mutants changed their result since `previous`."""
    before = {r["id"]: r["result"] for r in previous.get("mutants", [])}
    lines = []
    for record in records:
        was = before.get(record["id"])
        if was is not None and was != record["result"]:
            lines.append(f"  {record['id']}: {was} -> {record['result']}")
    return lines


def markdown_table(results, mutants):
    """The results as docs/testing.md shows them."""
    by_id = {m.id: m for m in mutants}
    lines = [f"Revision {results['revision'][:12]}, {results['date']}, "
             f"`{results['command']}`: **{results['summary']}**.", "",
             "| mutant | fault class | file | mistake | result |",
             "| --- | --- | --- | --- | --- |"]
    for record in results["mutants"]:
        mutant = by_id.get(record["id"])
        what = mutant.what if mutant else ""
        if mutant and mutant.recheck:
            what += " *(re-check: " + mutant.recheck + ")*"
        result = record["result"]
        if result == "killed":
            # A --keep-going run names every test that failed: the matrix of which test kills what.
            killers = record["failed_tests"] if "--keep-going" in results["command"] else \
                record["failed_tests"][:1]
            result += " by " + ", ".join("`" + t.split(" (")[0] + "`" for t in killers)
            if record.get("confirmed") is False:
                result += " (passed when run again: flaky?)"
        elif record["reason"]:
            result += ": " + record["reason"]
        lines.append(f"| `{record['id']}` | {record['class']} | `{record['file']}` | "
                     f"{what.replace('|', '/')} | {result} |")
    return "\n".join(lines)


# --- main ------------------------------------------------------------------------------------

def main():
    parser = argparse.ArgumentParser(
        description="Applies each mutant of the catalogue to a scratch clone and runs the tests.")
    parser.add_argument("--rev", default="HEAD", help="revision to mutate (default HEAD)")
    parser.add_argument("--only", nargs="+", metavar="ID", help="run only these mutants")
    parser.add_argument("--list", action="store_true", help="print the catalogue and stop")
    parser.add_argument("--check", action="store_true",
                        help="check that each original text occurs once in REV, and stop")
    parser.add_argument("--table", action="store_true",
                        help="print results.json as a Markdown table, and stop")
    parser.add_argument("--keep-going", action="store_true",
                        help="run the whole suite for each mutant instead of stopping at the "
                             "first failing test")
    parser.add_argument("--exclude", metavar="REGEX",
                        help="leave out the tests whose name matches (ctest -E), e.g. the "
                             "install tests: the packages and their consumers take most of a run, "
                             "and only the exports mutants need them; only with --keep-going")
    parser.add_argument("--jobs", type=int, default=2, help="build and ctest jobs (default 2)")
    parser.add_argument("--timeout", type=int, default=60,
                        help="seconds each test may take; longer counts as failed (default 60)")
    parser.add_argument("--no-clean-run", action="store_true",
                        help="skip the run of the unmutated suite")
    parser.add_argument("--catalogue", default=os.path.join(ROOT, "scripts", "mutants.txt"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build", "mutate"),
                        help="scratch folder: src/ (the clone), logs/, results.json")
    args = parser.parse_args()

    if args.exclude and not args.keep_going:
        # The phases select tests by number, which a label filter would shift.
        parser.error("--exclude goes with --keep-going")
    classes, mutants = parse_catalogue(args.catalogue)
    work = os.path.abspath(args.work)
    clone = os.path.join(work, "src")
    results_path = os.path.join(work, "results.json")
    # A partial run is compared with the last full one, and never replaces it.
    written_path = os.path.join(work, "results-only.json") if args.only else results_path

    if args.list:
        for mutant in mutants:
            note = f"  [re-check: {mutant.recheck}]" if mutant.recheck else ""
            print(f"{mutant.id}  {mutant.fault}  {mutant.file}\n    {mutant.what}{note}")
        print(f"\n{len(mutants)} mutants in {len(classes)} fault classes")
        for name, description in classes.items():
            count = sum(1 for m in mutants if m.fault == name)
            print(f"  {count:3d}  {name}: {description}")
        empty = [name for name in classes if not any(m.fault == name for m in mutants)]
        if empty:
            print("fault classes without a mutant: " + ", ".join(empty))
        return 0
    if args.table:
        with open(results_path, encoding="utf-8") as handle:
            print(markdown_table(json.load(handle), mutants))
        return 0

    selected = mutants
    if args.only:
        unknown = sorted(set(args.only) - {m.id for m in mutants})
        if unknown:
            raise ToolError("no mutant named " + ", ".join(unknown))
        selected = [m for m in mutants if m.id in args.only]

    commit = prepare_clone(ROOT, args.rev, clone)
    if args.check:
        bad = 0
        for mutant in selected:
            count = occurrences(clone, mutant)
            if count != 1:
                bad += 1
                print(f"{mutant.id}: {mutant.file}: the original text occurs "
                      f"{'no file' if count < 0 else count} times")
        print(f"{len(selected) - bad} of {len(selected)} mutants apply to {commit[:12]}")
        return 0

    logs = os.path.join(work, "logs")
    shutil.rmtree(logs, ignore_errors=True)
    os.makedirs(logs)
    start = time.monotonic()
    print(f"mutating {commit[:12]} in {os.path.relpath(clone)}: {len(selected)} mutants",
          flush=True)
    if not build(clone, args.jobs, os.path.join(logs, "clean.build.log")):
        raise ToolError(f"the unmutated tree does not build: see {logs}/clean.build.log")
    costs = os.path.join(work, "test-costs.txt")
    if not args.no_clean_run:
        # The unmutated run measures the costs afresh, for every mutant's run to reuse.
        if os.path.exists(costs):
            os.remove(costs)
        restore_test_costs(clone, costs)
        passed, failed, seconds = run_suite(clone, args.jobs, args.timeout, False,
                                            os.path.join(logs, "clean.ctest.log"),
                                            exclude=args.exclude)
        if not passed:
            raise ToolError("the unmutated suite fails (" + ", ".join(n for _, n in failed) +
                            "): see "
                            f"{logs}/clean.ctest.log")
        print(f"unmutated suite passes ({seconds:.0f} s)", flush=True)
    if not os.path.isfile(costs):
        keep_test_costs(clone, costs)

    tests = list_tests(clone)
    id_width = max(len(m.id) for m in selected)
    class_width = max(len(m.fault) for m in selected)
    records = []
    for mutant in selected:
        record = try_mutant(mutant, clone, args, logs, tests, costs)
        records.append(record)
        print_record(record, id_width, class_width)
    # Leaves the clone's build as the unmutated tree's, for the next run and for a look by hand.
    build(clone, args.jobs, os.path.join(logs, "restored.build.log"))
    seconds = time.monotonic() - start
    summary = summary_line(records, seconds)
    print(summary)

    command = "scripts/mutate.py" + (" --keep-going" if args.keep_going else "")
    if args.exclude:
        command += " --exclude " + args.exclude
    if args.only:
        command += " --only " + " ".join(args.only)
    results = {
        "revision": commit,
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "command": command,
        "jobs": args.jobs,
        "timeout": args.timeout,
        "seconds": round(seconds),
        "summary": summary,
        "mutants": records,
    }
    if os.path.isfile(results_path):
        with open(results_path, encoding="utf-8") as handle:
            changes = compare(json.load(handle), records)
        if changes:
            print("changed since the previous run:")
            print("\n".join(changes))
    with open(written_path, "w", encoding="utf-8") as handle:
        json.dump(results, handle, indent=2)
        handle.write("\n")
    print(f"results: {os.path.relpath(written_path)}")
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except ToolError as error:
        print(f"mutate.py: {error}", file=sys.stderr)
        sys.exit(3)
    except KeyboardInterrupt:
        sys.exit(130)
