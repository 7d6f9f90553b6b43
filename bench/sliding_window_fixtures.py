"""Fixtures for the sliding-window micro-benchmark (src/ostrel/decode/sliding_window.perf.cc): for
rotated surface-code memory experiments sampled with Stim (uniform circuit noise, 100 rounds), the
model's text (flattened) and detection events as "01" lines.

    python bench/sliding_window_fixtures.py DIR [SHOTS]
    build/sliding_window_perf matching 1 DIR/surface-d13-p0.001.dem DIR/surface-d13-p0.001.01 13 13
"""
import pathlib
import sys

from ostrel import synth

ROUNDS = 100


def main() -> int:
    out = pathlib.Path(sys.argv[1])
    shots = int(sys.argv[2]) if len(sys.argv) > 2 else 2000
    out.mkdir(parents=True, exist_ok=True)
    for d in (5, 9, 13):
        for p in (0.001, 0.003):
            circuit = synth.memory_circuit("surface", d, ROUNDS, p)
            dem = circuit.detector_error_model(decompose_errors=True).flattened()
            name = f"surface-d{d}-p{p}"
            (out / f"{name}.dem").write_text(str(dem))
            det = circuit.compile_detector_sampler(seed=d * 1000 + int(p * 1e4)).sample(shots // (1 + d // 5))
            with open(out / f"{name}.01", "w") as f:
                for row in det:
                    f.write("".join("1" if b else "0" for b in row) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
