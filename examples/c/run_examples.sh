#!/bin/sh
# Runs the producer and the decoding consumer against each other over a ring, and checks that
# every frame published was decoded.  Usage: run_examples.sh DIR_WITH_THE_EXAMPLES
set -eu
dir=$1
here=$(dirname "$0")
ring="ostrel-example-$$"
"$dir/ostrel_example_consumer" "$ring" "$here/repetition_d5.dem" 2 3 >"$dir/consumer.out" &
consumer=$!
"$dir/ostrel_example_producer" "$ring" 2000 11 4 >"$dir/producer.out"
wait "$consumer"
cat "$dir/producer.out" "$dir/consumer.out"
grep -q "^producer: published 22000 frames$" "$dir/producer.out"
grep -q "^consumer: 22000 frames, 2000 shots decoded" "$dir/consumer.out"
