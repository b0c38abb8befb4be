#!/bin/sh
# Installs the dependencies, builds, and applies a demonstration update: an
# application root with version 1.0 installed, a package with version 2.0,
# the update applied, then the log, the new layout and what the restarted
# application was given.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null

demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
root="$demo/My App"
mkdir -p "$root/current" "$demo/package/docs"

# Version 1.0, installed.
printf '#!/bin/sh\necho "version 1.0 started with: $*" > "$(dirname "$0")/../started.txt"\n' > "$root/current/app.exe"
chmod +x "$root/current/app.exe"
echo "1.0 readme" > "$root/current/readme.txt"
echo "1.0" > "$root/.version"

# Version 2.0, downloaded as a package.
printf '#!/bin/sh\necho "version 2.0 started in $(pwd) with: $*" > "$(dirname "$0")/../started.txt"\n' > "$demo/package/app.exe"
chmod +x "$demo/package/app.exe"
echo "2.0 readme" > "$demo/package/readme.txt"
echo "what is new in 2.0" > "$demo/package/docs/changes.txt"
(cd "$demo/package" && zip -qr "$demo/app-2.0.zip" .)

# The application would start the updater with its own process id and exit;
# here the process id names no running process.
set +e
build/updater apply --pid 999999 --package "$demo/app-2.0.zip" --app-dir "$root" \
    --version 2.0 --args "--welcome 'new user'"
code=$?
set -e
sleep 0.5   # the new application runs detached; give it a moment

echo "== exit code: $code"
echo "== $root/updater.log"
cat "$root/updater.log"
echo "== layout"
(cd "$root" && find . | sort)
echo "== .version: $(cat "$root/.version")"
echo "== the restarted application wrote: $(cat "$root/started.txt")"
echo "(demo files are in $demo)"
