"""The sliding window on the model for the methods that decode errors of any size, against
whole-shot decoding by the same method, paired on the same Stim shots, CPU time, one thread.

Points:
- the gross code [[144,12,12]] under circuit noise p = 0.001 (bench/hypergraph_models.py, checks
  measured through ancillas), with relay-bp and bp-osd;
- [[72,12,6]] under the same circuit noise at p = 0.004, where whole-shot relay-bp fails often
  enough for the window's failures to be compared with it;
- the 6.6.6 colour code d = 5 (bench/colour_code_circuits.py, the CNOT circuit, uniform noise),
  with mobius.

Each point writes the model, its shots and the layout, and times the window fed round by round
in-process against whole-shot decoding (the C++ program src/ostrel/driver/model_window.perf.cc,
built here): µs per round for both (rounds per second for the window), and failures of each with
the window's over whole-shot's, a 95 % bootstrap interval over the paired shots.

    python bench/hypergraph_windows.py [--quick] [--points gross-relay,gross-osd,gross-osd-p3,colour-mobius,...]
"""

from __future__ import annotations

import argparse
import pathlib
import subprocess
import sys
import tempfile

import numpy as np

sys.path.insert(0, str(pathlib.Path(__file__).parent))
import colour_code_circuits as colour  # noqa: E402
import hypergraph_models as models  # noqa: E402
from colour_codes import paired_ratio  # noqa: E402

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = ROOT / "build"


def gross_circuit(rounds, p=0.001):
    return models.bb_circuit_level("bb144", p, rounds)


def bb_layout(circuit):
    """Detectors (i, r, basis) of bench/hypergraph_models.py's circuits: row r, column basis * kz + i."""
    coords = circuit.get_detector_coordinates()
    kz = 1 + max(int(c[0]) for c in coords.values() if c[2] == 0)
    kx = 1 + max((int(c[0]) for c in coords.values() if c[2] == 1), default=-1)
    rows = 1 + max(int(c[1]) for c in coords.values())
    table = -np.ones((rows, kz + kx), dtype=np.int64)
    for d, c in coords.items():
        table[int(c[1]), int(c[2]) * kz + int(c[0])] = d
    return table


# name: (circuit maker(rounds), layout maker or None for coordinates, method, options, rounds, commit, buffer, shots)
POINTS = {
    "gross-relay": (gross_circuit, bb_layout, "relay-bp", "", 12, 3, 3, 1000),
    # The fast setting (serial legs, the first solution), then on the fired detectors' neighbourhood.
    "gross-relay-fast": (gross_circuit, bb_layout, "relay-bp", "schedule=serial,solutions=1", 12, 3, 3, 1000),
    "gross-relay-fast-nb": (gross_circuit, bb_layout, "relay-bp", "schedule=serial,solutions=1,neighbourhood=1", 12,
                            3, 3, 1000),
    "gross-relay-short-nb": (gross_circuit, bb_layout, "relay-bp",
                             "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 3, 3, 1000),
    "gross-relay-nb": (gross_circuit, bb_layout, "relay-bp", "neighbourhood=1", 12, 3, 3, 1000),
    "gross-relay-short": (gross_circuit, bb_layout, "relay-bp", "schedule=serial,solutions=1,pre_iter=20,num_iter=20", 12,
                          3, 3, 1000),
    # The paper's legs, without completing those that leave only the window's open end unmet.
    "gross-relay-short-nb-open": (gross_circuit, bb_layout, "relay-bp",
                                  "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20,"
                                  "complete_lone_rows=0", 12, 3, 3, 1000),
    "gross-relay-fast-p3": (lambda r: gross_circuit(r, 0.003), bb_layout, "relay-bp", "schedule=serial,solutions=1",
                            12, 3, 3, 500),
    "gross-relay-fast-nb-p3": (lambda r: gross_circuit(r, 0.003), bb_layout, "relay-bp",
                               "schedule=serial,solutions=1,neighbourhood=1", 12, 3, 3, 500),
    "gross-relay-short-nb-p3": (lambda r: gross_circuit(r, 0.003), bb_layout, "relay-bp",
                                "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 3, 3, 500),
    "gross-relay-short-nb-open-p3": (lambda r: gross_circuit(r, 0.003), bb_layout, "relay-bp",
                                     "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20,"
                                     "complete_lone_rows=0", 12, 3, 3, 500),
    # Other window shapes of the same point: fewer rounds decoded twice.
    "gross-relay-short-nb-c4b2": (gross_circuit, bb_layout, "relay-bp",
                                  "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 4, 2, 1000),
    "gross-relay-short-nb-c6b3": (gross_circuit, bb_layout, "relay-bp",
                                  "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 6, 3, 1000),
    # [[72,12,6]] at p = 0.004: whole-shot relay-bp fails about one shot in twenty, enough to pair.
    "bb72-relay-short-nb-p4": (lambda r: models.bb_circuit_level("bb72", 0.004, r), bb_layout, "relay-bp",
                               "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 3, 3, 6000),
    "bb72-relay-short-nb-p4-c4b2": (lambda r: models.bb_circuit_level("bb72", 0.004, r), bb_layout, "relay-bp",
                                    "schedule=serial,solutions=1,neighbourhood=1,pre_iter=20,num_iter=20", 12, 4, 2,
                                    6000),
    "gross-osd": (gross_circuit, bb_layout, "bp-osd", "", 12, 3, 3, 2000),
    # Noisier, for enough failures to compare the window's accuracy with whole shots'.
    "gross-osd-p3": (lambda r: gross_circuit(r, 0.003), bb_layout, "bp-osd", "", 12, 3, 3, 1000),
    "colour-mobius": (lambda r: colour.colour_code_memory(5, r, 0.002, "cnot"), None, "mobius", "", 25, 10, 5, 40000),
    "colour-mobius-p1": (lambda r: colour.colour_code_memory(5, r, 0.001, "cnot"), None, "mobius", "", 25, 10, 5,
                         60000),
}


def run(name, quick, seed, shots_wanted=None):
    make, layout_of, method, options, rounds, commit, buffer, shots = POINTS[name]
    shots = shots_wanted or shots
    if quick:
        shots = max(50, shots // 20)
    circuit = make(rounds)
    dem = circuit.detector_error_model(decompose_errors=False)
    det, obs = circuit.compile_detector_sampler(seed=seed).sample(shots, separate_observables=True)
    truth = np.array([int.from_bytes(np.packbits(o, bitorder="little").tobytes(), "little") for o in obs])
    with tempfile.TemporaryDirectory() as tmp:
        tmp = pathlib.Path(tmp)
        (tmp / "model.dem").write_text(str(dem))
        np.savetxt(tmp / "shots.01", det.astype(np.uint8), fmt="%d", delimiter="")
        layout = "-"
        if layout_of is not None:
            np.savetxt(tmp / "layout.txt", layout_of(circuit), fmt="%d")
            layout = str(tmp / "layout.txt")
        args = [str(BUILD / "model_window_perf"), method, str(tmp / "model.dem"), str(tmp / "shots.01"), str(commit),
                str(buffer), str(tmp / "pred.txt"), layout] + ([options] if options else [])
        line = subprocess.run(args, check=True, capture_output=True, text=True).stdout.split()
        pred = np.loadtxt(tmp / "pred.txt", dtype=np.uint64, ndmin=2)
    n, rows, us_window, us_whole = int(line[0]), int(line[1]), float(line[2]), float(line[3])
    window_fail = pred[:, 0] != truth
    whole_fail = pred[:, 1] != truth
    point, lo, hi = paired_ratio(window_fail, whole_fail, np.random.default_rng(seed))
    note = " (inconclusive: fewer than 100 whole-shot failures)" if whole_fail.sum() < 100 else ""
    print(f"| {name} | {method} {options} | {rows} rounds, commit {commit}, buffer {buffer} | {n:,} | "
          f"{us_window:.1f} ({1e6 / us_window:,.0f} rounds/s) | {us_whole:.1f} | {window_fail.sum()} | "
          f"{whole_fail.sum()} | {point:.2f} [{lo:.2f}, {hi:.2f}]{note} | "
          f"{np.sum(window_fail != whole_fail)} |", flush=True)


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--points", default=",".join(POINTS))
    parser.add_argument("--seed", type=int, default=7)
    parser.add_argument("--shots", type=int, help="shots per point instead of the point's own")
    a = parser.parse_args()
    subprocess.run([str(ROOT / ".venv/bin/cmake"), "--build", str(BUILD), "--target", "model_window_perf"], check=True,
                   capture_output=True)
    print("| point | method | shot, window | shots | window µs/round | whole-shot µs/round | window failures | "
          "whole-shot failures | ratio [95 %] | shots that differ |")
    print("|---|---|---|---|---|---|---|---|---|---|")
    for name in a.points.split(","):
        run(name, a.quick, a.seed, a.shots)
    return 0


if __name__ == "__main__":
    sys.exit(main())
