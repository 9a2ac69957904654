#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package as a user meets it, on this machine (as root: it installs into /usr):
#   bash tests/package/test-deb.sh build/package/varno_1.2.1_amd64.deb
# Installs it with dpkg over an older version made from it, runs the installed mindaro from
# another folder (--version, info, demo, and correct on the shared scanner pair when it lies
# beside the clone), reads a manual page, asks the bash completion for "mindaro cor", removes
# the package and checks that no file is left behind. Ends with "N passed, N failed".
set -euo pipefail

package=$(realpath "$1")
repository=$(cd "$(dirname "$0")/../.." && pwd)
version=$(dpkg-deb -f "$package" Version)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

# check DESCRIPTION COMMAND...: the command must succeed; its output is shown when it does not.
check() {
  local description=$1 output
  shift
  if output=$("$@" 2>&1); then
    passed=$((passed + 1))
    echo "ok      $description"
  else
    failed=$((failed + 1))
    echo "FAILED  $description"
    echo "$output" | tail -n 20 | sed 's/^/        /'
  fi
}
# contains TEXT COMMAND...: the command succeeds and its output (both streams) holds TEXT.
contains() {
  local text=$1 output
  shift
  output=$("$@" 2>&1) || { local status=$?; echo "$output"; echo "(exit status $status)"; return 1; }
  [[ $output == *"$text"* ]] || { echo "$output"; echo "(no \"$text\" in this)"; return 1; }
}
files_of_the_system() {
  find /usr /etc /opt -xdev -print 2>/dev/null | sort
}
installed() {
  [ "$(dpkg-query -W -f='${Status}' varno 2>/dev/null)" = "install ok installed" ]
}

if installed || dpkg-query -W varno >/dev/null 2>&1; then
  echo "Removing the varno package that is installed before the test"
  dpkg --purge varno >/dev/null
fi
files_of_the_system >"$work/before"

# An older version made from this one: version 1.2.0, its dialog script named after it.
older=$work/older
dpkg-deb -R "$package" "$older"
sed -i "s/^Version: .*/Version: 1.2.0/" "$older/DEBIAN/control"
mv "$older"/usr/lib/varno/plugins/VARNO_v*.js "$older/usr/lib/varno/plugins/VARNO_v120.js"
(cd "$older" && find usr -type f -exec md5sum {} + >DEBIAN/md5sums)
dpkg-deb --root-owner-group -b "$older" "$work/varno_1.2.0_amd64.deb" >/dev/null

check "dpkg -i installs the older version 1.2.0" dpkg -i "$work/varno_1.2.0_amd64.deb"
check "dpkg -i upgrades it to $version in place" contains "over (1.2.0)" dpkg -i "$package"
check "the upgrade leaves no file of 1.2.0" test ! -e /usr/lib/varno/plugins/VARNO_v120.js

cd "$work"
check "mindaro is on the PATH" contains "/usr/bin/mindaro" command -v mindaro
check "mindaro --version gives the version and the licence" \
  contains "mindaro (VARNO) $version
License GPL-3.0-or-later" mindaro --version
check "mindaro info finds the installed plug-in with its script and help" \
  contains "Plug-in:     /usr/lib/varno/plugins/libvarno.so" mindaro info
check "mindaro info finds no file missing" bash -c '! mindaro info | grep -q missing'
check "mindaro demo runs from another folder" contains "Report page:" mindaro demo demo
shared=
for candidate in "$repository/../shared/data/ge-pepolar/nifti" "$repository/../../shared/data/ge-pepolar/nifti"; do
  [ -f "$candidate/AP.nii.gz" ] && shared=$candidate && break
done
if [ -n "$shared" ]; then
  check "mindaro correct corrects the scanner pair" \
    mindaro correct --ap "$shared/AP.nii.gz" --pa "$shared/PA.nii.gz" --fast --out corrected
  check "mindaro correct wrote the corrected images" test -f corrected/AP_corrected.nii.gz -a -f corrected/report.html
else
  echo "skipped mindaro correct: no shared scanner pair beside the clone"
fi
check "man mindaro-correct renders without a warning" \
  bash -c 'test -z "$(MANWIDTH=80 man --warnings mindaro-correct 2>&1 >/dev/null)"'
check "man mindaro-correct describes its options" contains "--apply-to RUN" env MANWIDTH=80 MANPAGER=cat man mindaro-correct
check "man mindaro lists the commands" contains "mindaro-correct(1)" env MANWIDTH=80 MANPAGER=cat man mindaro
check "the bash completion offers correct after \"mindaro cor\"" contains "[correct]" bash -c \
  'source /usr/share/bash-completion/completions/mindaro; COMP_WORDS=(mindaro cor); COMP_CWORD=1; _mindaro; echo "[${COMPREPLY[*]}]"'
cd "$repository"

check "dpkg -r removes the package" dpkg -r varno
check "dpkg -r again says that it is not installed" contains "which isn't installed" dpkg -r varno
files_of_the_system >"$work/after"
check "no file of the package is left behind" diff "$work/before" "$work/after"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
