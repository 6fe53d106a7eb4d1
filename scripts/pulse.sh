# Sourced: starts a private PulseAudio server for the audio tests and benchmarks and stops
# it when the calling shell exits, whatever the outcome. Output goes to a null sink whose
# monitor the tests record; input comes from a sine source (Qt 6.4 hides monitor sources
# from its inputs), made the default source.

V9_SINE_HZ=880
v9_pulse_dir=$(mktemp -d /tmp/vendrel9-pulse.XXXXXX)
cat > "$v9_pulse_dir/default.pa" <<PA
load-module module-native-protocol-unix auth-anonymous=1 socket=$v9_pulse_dir/native
load-module module-null-sink sink_name=v9out rate=48000
load-module module-sine-source source_name=v9sine frequency=$V9_SINE_HZ rate=48000
set-default-sink v9out
set-default-source v9sine
PA

# Start and stop scripts of their own, so that fault tests can take the server away
# and bring it back. HOME and the runtime folder point into the private folder, so
# nothing of a desktop session's sound server is touched or reused.
cat > "$v9_pulse_dir/start" <<SH
#!/bin/sh
HOME="$v9_pulse_dir" XDG_RUNTIME_DIR="$v9_pulse_dir" PULSE_RUNTIME_PATH="$v9_pulse_dir" \\
  pulseaudio -n -F "$v9_pulse_dir/default.pa" --daemonize=no --exit-idle-time=-1 \\
  --log-target=file:"$v9_pulse_dir/log" >/dev/null 2>&1 &
echo \$! > "$v9_pulse_dir/server.pid"
for i in \$(seq 50); do PULSE_SERVER="unix:$v9_pulse_dir/native" pactl info >/dev/null 2>&1 && exit 0; sleep 0.1; done
exit 1
SH
cat > "$v9_pulse_dir/stop" <<SH
#!/bin/sh
pid=\$(cat "$v9_pulse_dir/server.pid" 2>/dev/null) || exit 0
kill "\$pid" 2>/dev/null
while kill -0 "\$pid" 2>/dev/null; do sleep 0.05; done
rm -f "$v9_pulse_dir/server.pid"
SH
chmod +x "$v9_pulse_dir/start" "$v9_pulse_dir/stop"

v9_stop_pulse() {
  "$v9_pulse_dir/stop" 2>/dev/null || true
  rm -rf "$v9_pulse_dir"
}
trap v9_stop_pulse EXIT

"$v9_pulse_dir/start" || true
export V9_PULSE_START="$v9_pulse_dir/start" V9_PULSE_STOP="$v9_pulse_dir/stop"

export PULSE_SERVER="unix:$v9_pulse_dir/native"
export PULSE_RUNTIME_PATH="$v9_pulse_dir" V9_SINE_HZ V9_MONITOR=v9out.monitor
if ! pactl info >/dev/null 2>&1; then
  echo "private PulseAudio did not start; audio tests will skip" >&2
  unset PULSE_SERVER
fi
