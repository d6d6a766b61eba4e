#!/bin/sh
# make install and make uninstall, into a fresh prefix: the layout, the
# manual page, the completions, an installed vorlix-pack that finds the
# installed launcher, and an empty prefix afterwards.
#   sh install_test.sh BUILD_DIR SOURCE_DIR
set -eu
build=$1
source=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
prefix=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$prefix" "$work"' EXIT

cmake --install "$build" --prefix "$prefix" > /dev/null
for file in bin/vorlix-pack libexec/vorlix/vorlix-launcher share/man/man1/vorlix-pack.1 \
  share/bash-completion/completions/vorlix-pack share/zsh/site-functions/_vorlix-pack; do
  [ -f "$prefix/$file" ] || fail "$file not installed"
done
[ ! -e "$prefix/bin/vorlix-launcher" ] || fail "the launcher image is installed as a command"

page=$(MANPAGER=cat MANWIDTH=80 man -l "$prefix/share/man/man1/vorlix-pack.1" 2> "$work/man.err") || fail "man -l failed"
[ ! -s "$work/man.err" ] || fail "man -l warned: $(cat "$work/man.err")"
for word in NAME SYNOPSIS --target-dir --cache "EXIT STATUS"; do
  printf '%s\n' "$page" | grep -q -- "$word" || fail "the manual page lacks $word"
done
bash -n "$prefix/share/bash-completion/completions/vorlix-pack" || fail "bash completion"
zsh -n "$prefix/share/zsh/site-functions/_vorlix-pack" || fail "zsh completion"

# The installed packer, with nothing beside it, uses the installed launcher.
mkdir -p "$work/app"
printf '#!/bin/sh\necho installed launcher ran\n' > "$work/app/run"
chmod 755 "$work/app/run"
"$prefix/bin/vorlix-pack" create -q -o "$work/pkg" "$work/app"
out=$(TMPDIR=$work "$work/pkg")
[ "$out" = "installed launcher ran" ] || fail "the package printed: $out"

sh "$source/scripts/uninstall.sh" "$build" "$prefix"
[ -z "$(ls -A "$prefix")" ] || fail "left in the prefix: $(cd "$prefix" && find . | tr '\n' ' ')"
echo "ok: installed, ran, uninstalled"
