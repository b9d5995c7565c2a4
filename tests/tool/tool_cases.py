#!/usr/bin/env python3
"""The host tool as its users meet it: help, the messages and exit statuses of a wrong command line
or an unusable plug-in, the devices verb, watch's JSON summary and a watch stopped by Ctrl-C.

    tool_cases.py GROUP --plugin PATH --not-plugin PATH --work DIR -- TOOL [ARGS...]

TOOL is the command that runs vidrane-host (under wine, the emulator first). Each group runs its
cases and fails on the first that does not hold."""
import argparse
import json
import os
import re
import signal
import subprocess
import sys
import threading

TIMEOUT = 120  # seconds for any one run of the tool; wine may be slow to start


class Case:
    def __init__(self, args):
        self.args = args

    def run(self, *words, expect, stdout=None, stderr=None, env=None):
        """Runs the tool and checks its exit status and what it printed (regular expressions)."""
        command = self.args.tool + list(words)
        try:
            result = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=TIMEOUT,
                                    env=env or self.args.env)
        except subprocess.TimeoutExpired as timeout:
            # Wine has been seen, once, not to start a program at all on a loaded machine: a run
            # that printed nothing gets a second take. One that printed anything started, and its
            # hang is the tool's own.
            printed = "".join(p.decode(errors="replace") if isinstance(p, bytes) else p
                              for p in (timeout.stdout, timeout.stderr) if p)
            check(self.args.wine and not printed, f"{' '.join(words)}: no exit within {TIMEOUT} s; it printed:\n{printed}")
            print(f"{' '.join(words)}: wine printed nothing and did not finish within {TIMEOUT} s; a second take")
            result = subprocess.run(command, capture_output=True, text=True, errors="replace", timeout=TIMEOUT,
                                    env=env or self.args.env)
        where = f"{' '.join(words)}: exit {result.returncode}\n--- stdout\n{result.stdout}\n--- stderr\n{result.stderr}"
        check(result.returncode == expect, f"expected exit {expect}; {where}")
        if stdout:
            check(re.search(stdout, result.stdout, re.M), f"stdout lacks /{stdout}/; {where}")
        if stderr:
            check(re.search(stderr, result.stderr, re.M), f"stderr lacks /{stderr}/; {where}")
        return result


def check(condition, message):
    if not condition:
        print("FAILED:", message)
        sys.exit(1)


def help_and_usage(t, a):
    t.run("--help", expect=0, stdout=r"^verbs:\n  info .*\n  devices .*\n  watch .*\n(.*\n)*  sources ")
    for words in (["help", "watch"], ["watch", "--help"], [a.plugin, "watch", "--help"]):
        t.run(*words, expect=0, stdout=r"^usage: .*PLUGIN watch(.*\n)*  --json ")
    t.run("help", "sources", expect=0, stdout=r"^  --wait MS ")
    t.run(expect=2, stderr=r"^usage: vidrane-host")
    t.run("help", "frob", expect=2, stderr=r"no help on 'frob'")
    t.run(a.plugin, "frob", expect=2, stderr=r"^vidrane-host: unknown verb 'frob'\n")
    t.run(a.plugin, expect=2, stderr=r"is not a verb")
    t.run("info", expect=2, stderr=r"^vidrane-host: info needs the plug-in")
    t.run(a.plugin, "sources", expect=2, stderr=r"sources takes no plug-in")
    t.run(a.plugin, "info", "--frob", expect=2, stderr=r"^vidrane-host: unknown option '--frob'\n")
    t.run(a.plugin, "info", "--seconds", "3", expect=2, stderr=r"--seconds is not an option of info")
    t.run(a.plugin, "watch", "--volume", "101", expect=2, stderr=r"bad value '101' for --volume")
    t.run(a.plugin, "watch", "--seconds", expect=2, stderr=r"--seconds needs a value")
    t.run(a.plugin, "watch", expect=2, stderr=r"watch needs --source NAME")


def plugin_errors(t, a):
    missing = os.path.join(a.work, "no such folder", os.path.basename(a.plugin))
    for verb in ("info", "devices", "watch"):
        extra = ["--source", "Nobody (Here)"] if verb == "watch" else []
        t.run(missing, verb, *extra, expect=3, stderr=r"^vidrane-host: no plug-in file at .*no such folder")
    t.run(a.not_plugin, "info", expect=3, stderr=r"^vidrane-host: .* does not export GetActorInfo\n")


def devices(t, a):
    result = t.run(a.plugin, "devices", expect=0, stdout=r"^audio outputs: \d+\n")
    lines = result.stdout.splitlines()
    count = int(lines[0].split(":")[1])
    entries = lines[1:1 + count]
    check(len(entries) == count and all(e[:2] in ("* ", "  ") for e in entries), f"not {count} entries: {lines}")
    # A new actor's audio_out is "None", the first entry, and so the one selected.
    check(entries[0] == "* None" and not any(e.startswith("*") for e in entries[1:]), f"entries: {entries}")
    for device in a.expect_device:
        check("  " + device in entries, f"no {device}: {entries}")


def sources(t, a):
    # Each source as it appears, then the count and the list at the end.
    t.run("--test-source", "Live", "--size", "320x180", "sources", "--wait", "500", expect=0,
          stdout=r"^\+ [^\n]+ \(Live\)\n  \(1 now\)\n(.*\n)*sources: 1\n  [^\n]+ \(Live\)\t")


def read_summary(stdout):
    check(stdout.count("\n") == 1, f"standard output is not one JSON line: {stdout!r}")
    return json.loads(stdout)


def check_summary(summary, png, interrupted, actors):
    check(summary["interrupted"] is interrupted, f"interrupted: {summary}")
    check(summary["status"] == 0 and summary["faults"] == [], f"faults: {summary}")
    check(len(summary["actors"]) == actors, f"actors: {summary}")
    for actor in summary["actors"]:
        check(actor["frames"] > 0 and actor["sources"] >= 1, f"actor: {summary}")
    check(summary["picture"]["width"] == 320 and summary["picture"]["height"] == 180, f"picture: {summary}")
    check(os.path.getsize(png) > 0, f"{png} not written")


def watch_json(t, a):
    png = os.path.join(a.work, "json.png")
    result = t.run("--test-source", "Json", "--size", "320x180", a.plugin, "watch", "--seconds", "2", "--actors", "2",
                   "--json", "--png", png, expect=0, stderr=r"^   1 s  frames ")
    summary = read_summary(result.stdout)
    check(summary["source"].endswith(" (Json)") and summary["audio_out"] == "None", f"summary: {summary}")
    check_summary(summary, png, False, 2)


def watch_interrupt(t, a):
    """Ctrl-C while actors run: they are stopped and disposed, the files written, the exit clean."""
    png = os.path.join(a.work, "interrupted.png")
    command = t.args.tool + ["--test-source", "Stop", "--size", "320x180", a.plugin, "watch", "--seconds", "600",
                             "--json", "--png", png]
    tool = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, errors="replace",
                            env=t.args.env)
    seen = threading.Event()
    lines = []

    def read_status():
        for line in tool.stderr:
            lines.append(line)
            if re.match(r"^ +1 s  frames [1-9]", line):
                seen.set()

    reader = threading.Thread(target=read_status, daemon=True)
    reader.start()
    if not seen.wait(TIMEOUT):
        tool.kill()
        check(False, "no status line with frames: " + "".join(lines))
    tool.send_signal(signal.SIGINT)
    try:
        tool.wait(timeout=TIMEOUT)  # the summary is one short line: the pipe holds it meanwhile
    except subprocess.TimeoutExpired:
        tool.kill()
        check(False, "the tool did not stop after Ctrl-C: " + "".join(lines))
    stdout = tool.stdout.read()
    reader.join(TIMEOUT)
    check(tool.returncode == 0, f"exit {tool.returncode}: " + "".join(lines))
    check(any(line.startswith("interrupted after ") for line in lines), "no word of the interruption")
    check_summary(read_summary(stdout), png, True, 1)


GROUPS = {f.__name__: f for f in (help_and_usage, plugin_errors, devices, sources, watch_json, watch_interrupt)}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("group", choices=GROUPS)
    parser.add_argument("--plugin", required=True)
    parser.add_argument("--not-plugin", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--expect-device", action="append", default=[], help="an output 'devices' must list")
    parser.add_argument("tool", nargs="+")
    a = parser.parse_args()
    os.makedirs(a.work, exist_ok=True)
    # A home of the run's own: the Apple flavour's first-use notice writes its version file there,
    # not into the user's. (Under wine it goes into the prefix's application data.)
    home = os.path.join(a.work, "home")
    os.makedirs(os.path.join(home, "Library", "Preferences"), exist_ok=True)
    a.wine = a.tool[-1].endswith(".exe")
    a.env = dict(os.environ) if a.wine else dict(os.environ, HOME=home)
    # Under wine the notice's Read Me must not reach a browser.
    a.env["WINEDLLOVERRIDES"] = "mscoree,mshtml=;winebrowser.exe=d"
    GROUPS[a.group](Case(a), a)
    print(f"{a.group}: every case holds")


if __name__ == "__main__":
    main()
