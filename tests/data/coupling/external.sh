#!/bin/sh
# Plays the external program of a coupled run. For each of its periods it
# writes its grid (the value of the period in every cell) and then its
# semaphore file, waits for the informing file of fluvex, records its content
# and removes it. It gives up after 30 s without an informing file.
# usage: external.sh <periods> <semaphore file> <informing file>
periods=$1
semaphore=$2
inform=$3
i=1
while [ "$i" -le "$periods" ]; do
  sed "s/@VALUE@/$i/g" ext_template.asc > ext_in.tmp && mv ext_in.tmp ext_in.asc
  : > "$semaphore"
  n=0
  while [ ! -f "$inform" ]; do
    sleep 0.02
    n=$((n + 1))
    if [ "$n" -gt 1500 ]; then
      echo "external: no informing file in period $i" >> external.log
      exit 1
    fi
  done
  printf '%s|' "$(cat "$inform")" >> informed.log
  rm -f "$inform"
  i=$((i + 1))
done
