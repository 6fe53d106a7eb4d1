#!/usr/bin/env bash
# Builds the Debian package from a finished build, has lintian check it (no error, no
# warning), unpacks it into a scratch root and checks what a desktop needs: the files in
# their places, a valid desktop entry and AppStream metainfo, and an installed binary
# that starts and ends cleanly on SIGTERM.
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

(cd "$build" && cpack -G DEB -B "$scratch/pkg" >/dev/null)
deb=$(ls "$scratch"/pkg/*.deb)
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libqt6widgets6 libqt6serialport6 libsndfile1 libpulse0 qt6-qpa-plugins libqt6svg6 fonts-dejavu-core; do
  grep -q "$lib" <<<"$depends" || { echo "package does not depend on $lib: $depends"; exit 1; }
done
[[ "$(dpkg-deb -f "$deb" Recommends)" == "pulseaudio | pipewire-pulse" ]] || { echo "no sound server recommended"; exit 1; }
if ! lintian --fail-on error,warning "$deb" >"$scratch/lintian.txt" 2>&1; then
  grep -v '^running with root' "$scratch/lintian.txt"
  echo "lintian found errors or warnings"
  exit 1
fi

dpkg -x "$deb" "$scratch/root"
app=org.vendrel9.Vendrel9
for file in usr/bin/vendrel9 usr/libexec/vendrel9/vendrel9-port usr/libexec/vendrel9/vendrel9-filedialog \
            "usr/share/applications/$app.desktop" "usr/share/metainfo/$app.metainfo.xml" \
            "usr/share/icons/hicolor/scalable/apps/$app.svg" usr/share/doc/vendrel9/copyright \
            usr/share/doc/vendrel9/changelog.gz usr/share/man/man1/vendrel9.1.gz; do
  [[ -e "$scratch/root/$file" ]] || { echo "missing from the package: $file"; exit 1; }
done
desktop-file-validate "$scratch/root/usr/share/applications/$app.desktop"
appstreamcli validate --no-net "$scratch/root/usr/share/metainfo/$app.metainfo.xml" >/dev/null
# Software centres show the newest AppStream release as the installed version.
version=$(dpkg-deb -f "$deb" Version)
release=$(grep -o '<release version="[^"]*"' "$scratch/root/usr/share/metainfo/$app.metainfo.xml" | head -n1 | cut -d'"' -f2)
[[ "$release" == "$version" ]] || { echo "newest AppStream release $release is not the package's $version"; exit 1; }
zcat "$scratch/root/usr/share/man/man1/vendrel9.1.gz" | head -n1 | grep -q "Vendrel9 $version" \
  || { echo "the manual page is not for $version"; exit 1; }
zcat "$scratch/root/usr/share/doc/vendrel9/changelog.gz" | head -n1 | grep -q "($version)" \
  || { echo "the changelog does not start at $version"; exit 1; }

QT_QPA_PLATFORM=offscreen "$scratch/root/usr/bin/vendrel9" &
pid=$!
sleep 2
kill -0 "$pid" || { echo "installed binary did not stay up"; exit 1; }
# The port is held by the installed helper, started beside the program.
pgrep -P "$pid" -x vendrel9-port >/dev/null || { echo "the installed program did not start its port helper"; exit 1; }
kill -TERM "$pid"
status=0
wait "$pid" || status=$?
[[ $status -eq 0 ]] || { echo "installed binary ended with status $status on SIGTERM"; exit 1; }
echo "package: $(basename "$deb") installs and runs"
