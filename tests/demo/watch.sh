#!/bin/sh
# watch.sh OUT TOOL PLUGIN [WINE_RUN PREFIX PULSE_SCRIPT]
# Runs the host tool's watch verb on a test-pattern source and leaves in OUT what it printed
# (watch.log), actor 1's last picture (last.png) and what the audio device played (played.wav),
# for DemoFileTests to check. Fails when the tool does.
#   Apple flavour: two actors on "Built-in Output" of the Apple stand-in, high bandwidth, in a
#   home folder of the run's own (the version file of the first-use notice goes there).
#   Windows flavour: one actor, low bandwidth, under wine in a prefix of its own (so that its
#   notice and version file stay out of the other tests' way), playing on the "Studio_Speakers"
#   null sink of a private PulseAudio server, whose monitor parec records meanwhile.
# The settings below are the ones tests/demo/CMakeLists.txt hands DemoFileTests.
set -u
out=$1 tool=$2 plugin=$3
shift 3

# The tool with the settings both flavours share, after the command that runs it (if any).
watch() {
	"$@" --test-source Demo --size 640x360 --rate 30 "$plugin" watch \
		--seconds 8 --volume 60 --png "$out/last.png" --wav "$out/played.wav" $flavour
}

if [ "${1:-}" = "--inside-pulse" ]; then
	# Under with-pulse.sh: record the sink's monitor while the tool plays on the sink.
	wine_run=$2 prefix=$3
	parec -d vidrane_studio.monitor --raw --format=float32le --rate=44100 --channels=2 --latency-msec=50 \
		>"$out/monitor.raw" 2>"$out/parec.log" &
	recorder=$!
	# winebrowser stays off: the notice's Read Me must not reach a browser.
	flavour="--actors 1 --bandwidth low --audio-out Studio_Speakers --monitor-format 44100:2"
	export WINEDLLOVERRIDES="mscoree,mshtml=;winebrowser.exe=d"
	watch "$wine_run" "$prefix" "$tool" --monitor "$out/monitor.raw" >"$out/watch.log" 2>&1
	status=$?
	kill "$recorder" 2>/dev/null
	wait "$recorder" 2>/dev/null
	cat "$out/watch.log"
	exit $status
fi

rm -rf "$out"
mkdir -p "$out"
if [ $# -eq 0 ]; then
	# A Mac's home has its Library/Preferences folder.
	mkdir -p "$out/home/Library/Preferences"
	flavour="--actors 2 --bandwidth high"
	export HOME="$out/home"
	watch "$tool" --audio-out "Built-in Output" >"$out/watch.log" 2>&1
	status=$?
	cat "$out/watch.log"
	exit $status
fi
wine_run=$1 prefix=$2 pulse=$3
exec sh "$pulse" "$out/pulse" sh "$0" "$out" "$tool" "$plugin" --inside-pulse "$wine_run" "$prefix"
