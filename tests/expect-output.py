#!/usr/bin/env python3
"""expect-output.py REGEX COMMAND [ARGS...]: runs the command, prints what it printed, and passes
only when it exited with status 0 AND its standard output and error (together) match the regular
expression. CTest's own PASS_REGULAR_EXPRESSION ignores the exit status: a program that crashed
after printing the right line would pass."""
import re
import subprocess
import sys

pattern, command = sys.argv[1], sys.argv[2:]
result = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, errors="replace")
sys.stdout.write(result.stdout)
if result.returncode != 0:
    print(f"expect-output: exit status {result.returncode}")
    sys.exit(1)
if not re.search(pattern, result.stdout):
    print(f"expect-output: the output does not match /{pattern}/")
    sys.exit(1)
