"""What `make test` (scripts/run-tests) and scripts/stress-suites share: running
a command as a stage, running a ctest suite (the win64 one inside its Wine
session) and reading what the suite did from ctest's JUnit file."""
import os
import resource
import subprocess
import time
import xml.etree.ElementTree as ET

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def run(command, log=None):
    """Runs `command` (a list) in the source tree; its output goes to the
    terminal, or to the open file `log`. True when it succeeded."""
    return subprocess.run(command, cwd=ROOT, stdout=log, stderr=log).returncode == 0


class SuiteResult:
    """Counts of one ctest run, from its JUnit file."""

    def __init__(self, junit):
        self.passed = self.failed = self.skipped = 0
        self.failed_names = []
        self.seconds = {}  # by test
        try:
            suite = ET.parse(junit).getroot()
        except (OSError, ET.ParseError):
            return
        for case in suite.iter("testcase"):
            name, status = case.get("name"), case.get("status")
            self.seconds[name] = float(case.get("time") or 0)
            if status == "run":
                self.passed += 1
            elif status in ("notrun", "disabled"):
                self.skipped += 1
            else:
                self.failed += 1
                self.failed_names.append(name)

    def counts(self):
        text = "%d passed, %d failed, %d skipped" % (self.passed, self.failed, self.skipped)
        if self.failed_names:
            text += " (%s)" % ", ".join(self.failed_names)
        return text


def junit_path(preset):
    return os.path.join(ROOT, "build", "ctest-junit-%s.xml" % preset)


def run_suite(preset, log=None, jobs=None):
    """Runs the ctest suite of `preset` (win64: in its Wine session). Returns
    (success, SuiteResult). A suite that runs no test fails (the presets say so)."""
    junit = junit_path(preset)
    if os.path.exists(junit):
        os.remove(junit)
    command = ["ctest", "--preset", preset, "--output-junit", junit]
    if jobs:
        command += ["-j", str(jobs)]
    if preset == "win64":
        if not run(["scripts/wine-session", "start"], log):
            return False, SuiteResult(junit)
        try:
            ok = run(command, log)
        finally:
            run(["scripts/wine-session", "stop"], log)
    else:
        ok = run(command, log)
    return ok, SuiteResult(junit)


def minutes(seconds):
    seconds = int(round(seconds))
    return "%d m %02d s" % (seconds // 60, seconds % 60) if seconds >= 60 else "%d s" % seconds


class Clock:
    """Wall time, and the CPU time of the commands run meanwhile (of every
    process they waited for): beside the wall time it tells how busy the
    machine was."""

    def __init__(self):
        self.start = time.monotonic()
        self.cpu_start = self._children_cpu()

    @staticmethod
    def _children_cpu():
        usage = resource.getrusage(resource.RUSAGE_CHILDREN)
        return usage.ru_utime + usage.ru_stime

    def seconds(self):
        return time.monotonic() - self.start

    def cpu_seconds(self):
        return self._children_cpu() - self.cpu_start
