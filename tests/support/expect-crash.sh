#!/bin/sh
# expect-crash.sh COMMAND...: passes only when the program started, was ended by its crash, and
# the command reported it as failed.
out=$("$@" 2>&1)
status=$?
printf '%s\n' "$out"
case $out in *started*) ;; *) echo "expect-crash: the program never started"; exit 1 ;; esac
case $out in *"still running after the crash"*) echo "expect-crash: the crash did not end the program"; exit 1 ;; esac
if [ "$status" -eq 0 ]; then
	echo "expect-crash: a program that crashed was reported as passing"
	exit 1
fi
echo "expect-crash: reported as failed (status $status)"
