#!/usr/bin/env bash
# Fails unless the given installer program needs no shared library but the
# C library and the dynamic loader, carries no symbols or debug data, and is
# at most MAX_BYTES long: self-contained.sh FILE MAX_BYTES
set -u
file=$1
max_bytes=$2
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
size=$(stat -c %s "$file")
if [ "$size" -gt "$max_bytes" ]; then
  echo "$file is $size bytes, more than $max_bytes (is code that uses the C++ runtime's"
  echo "allocation or exceptions, such as std::string, linked into it?)"
  status=1
fi
[ $status -eq 0 ] && echo "ok: $file needs only:" $needed "($size bytes)"
exit $status
