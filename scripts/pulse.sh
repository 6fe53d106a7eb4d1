# Sourced: starts a private sound server for the audio tests and benchmarks and stops it
# when the calling shell exits, whatever the outcome. V9_SOUND chooses the server:
# "pulseaudio" (the default) or "pipewire" (PipeWire, pipewire-pulse and WirePlumber, as
# current desktops run them). Either way the program reaches it through libpulse. Output
# goes to a null sink "v9out" whose monitor the tests record; input comes from a sine
# source "v9sine", the default source.
#
# Everything the servers keep (their sockets, HOME, state, the remembered stream targets)
# lives in one private folder, so nothing of a desktop session's sound is touched.

V9_SOUND=${V9_SOUND:-pulseaudio}
v9_pulse_dir=$(mktemp -d /tmp/vendrel9-sound.XXXXXX)
mkdir -p "$v9_pulse_dir/home" "$v9_pulse_dir/state" "$v9_pulse_dir/config/pipewire/pipewire.conf.d"
v9_env="HOME=$v9_pulse_dir/home XDG_RUNTIME_DIR=$v9_pulse_dir XDG_STATE_HOME=$v9_pulse_dir/state XDG_CONFIG_HOME=$v9_pulse_dir/config PULSE_RUNTIME_PATH=$v9_pulse_dir/pulse DBUS_SESSION_BUS_ADDRESS=unix:path=$v9_pulse_dir/bus"

if [[ "$V9_SOUND" == pipewire ]]; then
  # The input is a source that reads a FIFO a small writer keeps full of a looped second
  # of sine. PipeWire's own test source stops for good the first time it finds no free
  # buffer ("audiotestsrc: out of buffers"), which a busy machine brings about; a FIFO
  # only runs short, and then the source reads silence and carries on.
  V9_SINE_HZ=440
  LC_ALL=C awk -v hz=$V9_SINE_HZ 'BEGIN { for (i = 0; i < 48000; i++) {
      v = int(16384 * sin(2 * 3.14159265358979 * hz * i / 48000)); if (v < 0) v += 65536
      printf "%c%c", v % 256, int(v / 256) } }' > "$v9_pulse_dir/sine.raw"
  cat > "$v9_pulse_dir/config/pipewire/pipewire.conf.d/v9.conf" <<CONF
context.modules = [
  { name = libpipewire-module-pipe-tunnel args = { tunnel.mode = source
      pipe.filename = "$v9_pulse_dir/sine.fifo" audio.format = S16LE audio.rate = 48000
      audio.channels = 1 audio.position = [ MONO ]
      stream.props = { node.name = v9sine node.description = v9sine node.pause-on-idle = false
        session.suspend-timeout-seconds = 0 } } }
]
context.objects = [
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = v9out
      node.description = v9out media.class = Audio/Sink audio.position = [ MONO ] audio.rate = 48000
      object.linger = true monitor.channel-volumes = true node.pause-on-idle = false session.suspend-timeout-seconds = 0 } }
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = v9radio
      node.description = v9radio media.class = Audio/Sink audio.position = [ MONO ] audio.rate = 48000
      object.linger = true node.pause-on-idle = false session.suspend-timeout-seconds = 0 } }
]
CONF
  cat > "$v9_pulse_dir/start" <<SH
#!/bin/sh
# Nothing to do while the server runs: a second one would only take over the pid file.
PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl info >/dev/null 2>&1 && exit 0
export $v9_env
if [ ! -S "$v9_pulse_dir/bus" ]; then
  dbus-daemon --session --address="unix:path=$v9_pulse_dir/bus" --nofork --nopidfile >/dev/null 2>&1 &
  echo \$! > "$v9_pulse_dir/dbus.pid"
  for i in \$(seq 50); do [ -S "$v9_pulse_dir/bus" ] && break; sleep 0.1; done
fi
[ -p "$v9_pulse_dir/sine.fifo" ] || mkfifo "$v9_pulse_dir/sine.fifo"
pipewire >"$v9_pulse_dir/pipewire.log" 2>&1 &
echo \$! > "$v9_pulse_dir/server.pid"
for i in \$(seq 50); do [ -S "$v9_pulse_dir/pipewire-0" ] && break; sleep 0.1; done
# The writer ends when the server does: its next write then fails.
(while cat "$v9_pulse_dir/sine.raw"; do :; done > "$v9_pulse_dir/sine.fifo") >/dev/null 2>&1 &
echo \$! > "$v9_pulse_dir/writer.pid"
wireplumber >"$v9_pulse_dir/wireplumber.log" 2>&1 &
echo \$! > "$v9_pulse_dir/session.pid"
PIPEWIRE_RUNTIME_DIR="$v9_pulse_dir" pipewire-pulse >"$v9_pulse_dir/pipewire-pulse.log" 2>&1 &
echo \$! > "$v9_pulse_dir/pulse.pid"
up=
for i in \$(seq 100); do
  if PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl list short sources 2>/dev/null | grep -q v9sine; then
    # Until the session manager has its store of defaults up, setting one fails ("Not
    # supported") and the manager picks the sink itself, maybe the other one: so again.
    PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl set-default-sink v9out 2>/dev/null &&
      PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl set-default-source v9sine 2>/dev/null &&
      exit 0
    up=1
  fi
  sleep 0.1
done
# The server is there even if the defaults never took; the tests then say what they hear.
[ -n "\$up" ]
SH
  cat > "$v9_pulse_dir/stop" <<SH
#!/bin/sh
for name in pulse session server writer; do
  pid=\$(cat "$v9_pulse_dir/\$name.pid" 2>/dev/null) || continue
  kill "\$pid" 2>/dev/null
  while kill -0 "\$pid" 2>/dev/null; do sleep 0.05; done
  rm -f "$v9_pulse_dir/\$name.pid"
done
SH
else
  V9_SINE_HZ=880
  # The protocol comes last, so that a client that can connect finds every device there.
  cat > "$v9_pulse_dir/default.pa" <<PA
load-module module-null-sink sink_name=v9out rate=48000
load-module module-null-sink sink_name=v9radio rate=48000
load-module module-sine-source source_name=v9sine frequency=$V9_SINE_HZ rate=48000
load-module module-stream-restore restore_device=true
set-default-sink v9out
set-default-source v9sine
load-module module-native-protocol-unix auth-anonymous=1 socket=$v9_pulse_dir/pulse/native
PA
  cat > "$v9_pulse_dir/start" <<SH
#!/bin/sh
PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl info >/dev/null 2>&1 && exit 0
mkdir -p "$v9_pulse_dir/pulse"
export $v9_env
pulseaudio -n -F "$v9_pulse_dir/default.pa" --daemonize=no --exit-idle-time=-1 \\
  --log-target=file:"$v9_pulse_dir/log" >/dev/null 2>&1 &
echo \$! > "$v9_pulse_dir/server.pid"
for i in \$(seq 50); do PULSE_SERVER="unix:$v9_pulse_dir/pulse/native" pactl info >/dev/null 2>&1 && exit 0; sleep 0.1; done
exit 1
SH
  cat > "$v9_pulse_dir/stop" <<SH
#!/bin/sh
pid=\$(cat "$v9_pulse_dir/server.pid" 2>/dev/null) || exit 0
kill "\$pid" 2>/dev/null
while kill -0 "\$pid" 2>/dev/null; do sleep 0.05; done
rm -f "$v9_pulse_dir/server.pid"
SH
fi
chmod +x "$v9_pulse_dir/start" "$v9_pulse_dir/stop"

v9_stop_pulse() {
  "$v9_pulse_dir/stop" 2>/dev/null || true
  pid=$(cat "$v9_pulse_dir/dbus.pid" 2>/dev/null) && kill "$pid" 2>/dev/null
  rm -rf "$v9_pulse_dir"
}
trap v9_stop_pulse EXIT

"$v9_pulse_dir/start" || true
# The process a client talks to, for tests that freeze it with SIGSTOP.
if [[ "$V9_SOUND" == pipewire ]]; then V9_PULSE_PIDFILE="$v9_pulse_dir/pulse.pid"; else V9_PULSE_PIDFILE="$v9_pulse_dir/server.pid"; fi
export V9_PULSE_START="$v9_pulse_dir/start" V9_PULSE_STOP="$v9_pulse_dir/stop" V9_SOUND V9_PULSE_PIDFILE

export PULSE_SERVER="unix:$v9_pulse_dir/pulse/native"
export PULSE_RUNTIME_PATH="$v9_pulse_dir/pulse" V9_SINE_HZ V9_MONITOR=v9out.monitor
if ! pactl info >/dev/null 2>&1; then
  echo "private $V9_SOUND server did not start; audio tests will skip" >&2
  unset PULSE_SERVER
fi
