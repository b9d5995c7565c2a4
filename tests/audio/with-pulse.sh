#!/bin/sh
# with-pulse.sh RUNTIME_DIR COMMAND [ARGS...]
# Runs COMMAND with a private PulseAudio server of two null sinks (its runtime folder, socket
# and pid file in RUNTIME_DIR), and stops that server whatever COMMAND does.
#   Studio_Speakers: 2 channels at 44100 Hz (the server's defaults)
#   Desk_Six:        6 channels at 48000 Hz
set -u
runtime=$1
shift
rm -rf "$runtime"
mkdir -p "$runtime" || exit 1
chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"

stop_server() {
	if [ -f "$runtime/pulse/pid" ]; then
		pid=$(cat "$runtime/pulse/pid")
		pulseaudio --kill 2>/dev/null || kill "$pid" 2>/dev/null
		# Waits for that one process to be gone (pulseaudio --kill does not wait).
		while kill -0 "$pid" 2>/dev/null; do
			tail --pid="$pid" -f /dev/null
		done
	fi
}
trap stop_server EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# -D returns once the daemon is up and its modules are loaded.
pulseaudio -D --exit-idle-time=-1 -n --log-level=error --log-target=file:"$runtime/pulse.log" \
	--load="module-null-sink sink_name=vidrane_studio sink_properties=device.description=Studio_Speakers" \
	--load="module-null-sink sink_name=vidrane_desk rate=48000 channels=6 sink_properties=device.description=Desk_Six" \
	--load=module-native-protocol-unix || { echo "with-pulse.sh: PulseAudio did not start" >&2; cat "$runtime/pulse.log" >&2; exit 1; }

"$@"
