#!/usr/bin/env python3
"""Reads the merged gcovr reports of `make coverage` (the folder given): prints the one
line of line and branch coverage of src/ and writes functions-never-run.txt beside them,
the functions of src/ that no process of either tier entered (demangled). Fails when the
installed service's own counts are missing."""
import json
import pathlib
import subprocess
import sys

out = pathlib.Path(sys.argv[1])
summary = json.loads((out / "summary.json").read_text())
report = json.loads((out / "coverage.json").read_text())


def ratio(covered, total):
    return f"{100.0 * covered / total:.1f}% ({covered}/{total})" if total else "n/a (0/0)"


print(f"coverage of src/: lines {ratio(summary['line_covered'], summary['line_total'])}, "
      f"branches {ratio(summary['branch_covered'], summary['branch_total'])}")

# The variants one source function compiles to (complete and base constructors, the
# deleting destructor) count as one function, entered when any of them was.
entered = {}
for f in report["files"]:
    for fn in f.get("functions", []):
        key = (f["file"], fn["lineno"], fn["name"])
        entered[key] = entered.get(key, 0) + fn["execution_count"]
names = sorted({name for (_, _, name) in entered})
demangled = dict(zip(names, subprocess.run(["c++filt"], input="\n".join(names), capture_output=True,
                                           text=True, check=True).stdout.splitlines()))
functions = {}
for (file, line, name), count in entered.items():
    key = (file, line, demangled.get(name, name))
    functions[key] = functions.get(key, 0) + count
never = sorted(key for key, count in functions.items() if count == 0)
(out / "functions-never-run.txt").write_text("".join(f"{file}:{line}: {name}\n" for file, line, name in never))
print(f"functions of src/ never run: {len(never)} of {len(functions)} ({out / 'functions-never-run.txt'})")

# Only a process that the service control manager started registers a control handler
# (the component tests stand in for it, a console run fails in the dispatcher first):
# without its counts the figure would leave the service process out.
registered = sum(count for (file, _, name), count in functions.items()
                 if "CServiceBase::RegisterControlHandler" in name)
if not registered:
    sys.exit("coverage: no counts from the service process (was GCOV_PREFIX set for services.exe?)")
print(f"service processes that wrote counts: {registered}")
