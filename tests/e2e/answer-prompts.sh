#!/usr/bin/env bash
# answer-prompts.sh ANSWER... -- COMMAND...
# Runs COMMAND with its standard input and output (standard error merged)
# on pipes, and gives each ANSWER only once a prompt has come out: the
# output so far ends in ": " after "continue", "]" or a "? " after "]".
# A prompt still held in the program's buffer never shows, and the run
# stops with status 125 and what had come out (a hang guard, not a timing).
# Unlike a terminal, where the C library flushes pending output before it
# reads an answer, a pipe shows a prompt only if the program flushed it.
answers=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do answers+=("$1"); shift; done
shift
coproc RUN { "$@" 2>&1; }
pid=$RUN_PID
exec 3<&"${RUN[0]}" 4>&"${RUN[1]}"
for answer in "${answers[@]}"; do
  seen=
  until [[ $seen == *"continue: " || $seen == *"]: " || $seen == *"] ? " ]]; do
    if ! IFS= read -r -d '' -n 1 -t 60 -u 3 c; then
      printf '%s\n[no prompt came out]\n' "$seen"
      kill "$pid" 2>/dev/null
      exit 125
    fi
    seen+=$c
  done
  printf '%s' "$seen"
  printf '%s\n' "$answer" >&4
done
exec 4>&-
cat <&3
wait "$pid"
