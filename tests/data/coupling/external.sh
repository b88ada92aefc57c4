#!/bin/sh
# Plays the external program of a coupled run. For each of its periods it
# writes its grid (the number of the period in every cell) and then its
# semaphore file, waits for the informing file of fluvex, records its content
# in informed.log, keeps a copy of one output grid and removes the informing
# file. It waits for the informing file as long as fluvex runs: the test
# creates fluvex.done when fluvex has ended, and the script gives up then.
# Before its first period it waits until fluvex has written the text given
# (- for none) to its console (console.txt).
# usage: external.sh <periods> <first period to write> <text before the first> <semaphore> <inform> [grid to keep]
periods=$1
first=$2
after=$3
semaphore=$4
inform=$5
keep=$6
if [ "$after" != "-" ]; then
  until grep -q "$after" console.txt 2>/dev/null; do
    if [ -f fluvex.done ]; then
      echo "external: fluvex ended before it wrote: $after" >> external.log
      exit 1
    fi
    sleep 0.02
  done
fi
i=1
while [ "$i" -le "$periods" ]; do
  if [ "$i" -ge "$first" ]; then
    sed "s/@VALUE@/$i/g" ext_template.asc > ext_in.tmp && mv ext_in.tmp ext_in.asc
    : > "$semaphore"
  fi
  while [ ! -f "$inform" ]; do
    if [ -f fluvex.done ]; then
      # fluvex may have written its last informing file just before it ended.
      [ -f "$inform" ] && break
      echo "external: no informing file in period $i" >> external.log
      exit 1
    fi
    sleep 0.02
  done
  printf '%s|' "$(cat "$inform")" >> informed.log
  if [ -n "$keep" ] && [ -f "$keep" ]; then cp "$keep" "period_$i.asc"; fi
  rm -f "$inform"
  i=$((i + 1))
done
