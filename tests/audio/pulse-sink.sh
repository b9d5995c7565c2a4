#!/bin/sh
# pulse-sink.sh unload|load SINK REPLY
# Takes a null sink of the PulseAudio server of $XDG_RUNTIME_DIR away (unloads its module), or
# brings it back with the arguments it had, then writes "ok" or what went wrong to REPLY.
# Tests under wine start it with CreateProcess, which runs a Unix program but hands back no
# process to wait for: they wait for REPLY to appear instead (written whole, then renamed).
set -u
verb=$1 sink=$2 reply=$3
saved="$XDG_RUNTIME_DIR/sink-$sink.args"

answer() {
	printf '%s\n' "$1" > "$reply.part" && mv "$reply.part" "$reply"
	exit 0
}

case $verb in
unload)
	line=$(pactl list short modules | awk -F '\t' -v arg="sink_name=$sink" \
		'$2 == "module-null-sink" && index(" " $3 " ", " " arg " ") { print; exit }')
	[ -n "$line" ] || answer "no module-null-sink with sink_name=$sink"
	printf '%s\n' "$line" | cut -f3 > "$saved"
	pactl unload-module "$(printf '%s\n' "$line" | cut -f1)" >/dev/null 2>&1 || answer "unload-module failed"
	answer ok ;;
load)
	[ -f "$saved" ] || answer "sink $sink was not taken away by this script"
	# The saved arguments hold no blanks within a value: word splitting rebuilds them.
	# shellcheck disable=SC2046
	pactl load-module module-null-sink $(cat "$saved") >/dev/null 2>&1 || answer "load-module failed"
	rm -f "$saved"
	answer ok ;;
esac
answer "unknown verb $verb"
