#!/usr/bin/env bash
# Builds the Debian packages voltkeep and bellwright with Debian's tools (dpkg-buildpackage, debhelper
# and its CMake support) from the files git tracks, as a fresh clone has them, and puts the .deb files
# and the .changes file into the folder given (default: packages/ in the checkout).
#   bash scripts/build-packages.sh [folder]
set -euo pipefail
cd "$(dirname "$0")/.."

out="${1:-packages}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

# The package's version is the project's: debian/changelog must follow project() in CMakeLists.txt.
project_version=$(sed -n 's/^project(Voltkeep VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
package_version=$(dpkg-parsechangelog -S Version)
if [ "$project_version" != "$package_version" ]; then
  echo "debian/changelog says $package_version, CMakeLists.txt $project_version: add a changelog entry" >&2
  exit 1
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/voltkeep"
# The tracked files as they are now (edits included, build folders and other untracked files not).
git ls-files -z | tar --null --ignore-failed-read -T - -cf - | tar -xf - -C "$work/voltkeep"

# No debug-symbol packages are made, so no debug information is compiled either: a third of the
# compile time, and the same programs.
started=$SECONDS
(cd "$work/voltkeep" && DEB_BUILD_OPTIONS="parallel=${VK_JOBS:-2} noautodbgsym" DEB_CXXFLAGS_STRIP=-g \
  dpkg-buildpackage -b -us -uc > "$work/build.log" 2>&1) || { tail -50 "$work/build.log"; exit 1; }
for f in "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo; do
  cp "$f" "$out/"
done
echo "Built in $((SECONDS - started)) s:"
ls -1 "$out"/*_"$package_version"_*.deb
