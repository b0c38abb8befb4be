#!/bin/sh
# Installs the dependencies, builds, and shows the example application
# updating itself end to end: version 1.0 installed in an application root
# beside the updater, and a downloaded package of version 2.0. Version 1.0
# prepares the package while it runs (showing the progress), has the
# updater apply it and exits; the updater swaps the prepared copy in and
# starts version 2.0, which confirms its start. Then the log, the layout,
# .version and what each version of the application wrote.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh >/dev/null

demo=$(mktemp -d /tmp/updater-demo.XXXXXX)
root="$demo/My App"
mkdir -p "$root/current" "$demo/package/docs"
cp build/updater "$root/updater"

# Version 1.0, installed.
cp build/examples/example_app "$root/current/app"
echo "1.0" > "$root/current/version.txt"
echo "1.0" > "$root/.version"

# Version 2.0, downloaded as a package.
cp build/examples/example_app "$demo/package/app"
echo "2.0" > "$demo/package/version.txt"
echo "what is new in 2.0" > "$demo/package/docs/changes.txt"
(cd "$demo/package" && zip -qr "$demo/app-2.0.zip" .)

echo "== version 1.0 starts and updates itself"
"$root/current/app" --update "$demo/app-2.0.zip" 2.0 --welcome "new user"

# The updater runs detached; it is done when its log says so.
for _ in $(seq 100); do
    grep -q "Update complete, exiting\|rolling back" "$root/updater.log" 2>/dev/null && break
    sleep 0.1
done

echo "== $root/updater.log"
cat "$root/updater.log"
echo "== layout"
(cd "$root" && find . | sort)
echo "== .version: $(cat "$root/.version")"
echo "== $root/example.log (what both versions of the application wrote)"
cat "$root/example.log"
echo "(demo files are in $demo)"
