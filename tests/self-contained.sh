#!/usr/bin/env bash
# Fails unless the given installer program needs no shared library but the
# C library and the dynamic loader, and carries no symbols or debug data.
set -u
file=$1
[ -s "$file" ] || { echo "no such file: $file"; exit 1; }
status=0
needed=$(readelf -d "$file" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
for lib in $needed; do
  case $lib in
    libc.so.* | ld-linux*.so.*) ;;
    *) echo "$file needs $lib"; status=1 ;;
  esac
done
sections=$(readelf -S -W "$file" | grep -o -E '\.(symtab|debug_[a-z_]+)' | sort -u)
if [ -n "$sections" ]; then
  echo "$file is not stripped:" $sections
  status=1
fi
[ $status -eq 0 ] && echo "ok: $file needs only:" $needed "($(stat -c %s "$file") bytes)"
exit $status
