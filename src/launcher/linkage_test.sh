#!/bin/sh
# A package must run on machines without libzstd or libstdc++, and the
# launcher is built hardened: PIE, full RELRO, stack protector, fortified calls.
set -eu
launcher=$1
fail() { echo "FAIL: $*" >&2; exit 1; }

libraries=$(ldd "$launcher" | awk '{print $1}')
for library in $libraries; do
  case "$library" in
    linux-vdso.so.*|libc.so.*|/lib64/ld-linux-x86-64.so.*) ;;
    *) fail "links $library" ;;
  esac
done

readelf -h "$launcher" | grep -q 'Type:.*DYN' || fail "not position independent"
readelf -l "$launcher" | grep -q GNU_RELRO || fail "no RELRO"
readelf -d "$launcher" | grep -q 'BIND_NOW\|FLAGS.*NOW' || fail "no immediate binding (full RELRO)"
readelf -W --dyn-syms "$launcher" | grep -q __stack_chk_fail || fail "no stack protector"
readelf -W --dyn-syms "$launcher" | grep -q '__[a-z]*_chk' || fail "no fortified calls"
echo "ok: $(echo $libraries | tr '\n' ' ')"
