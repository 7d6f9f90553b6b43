"""The ``inspect``, ``synth`` and ``decode`` commands."""

from __future__ import annotations

import argparse
import collections
import json
import os
import sys
import time
from typing import Any

import _ostrel
from ostrel import synth
from ostrel.cli import COMMANDS, CommandError, positive_int

CODE_NAMES = {1: "surface", 2: "honeycomb", 3: "color", 4: "repetition", 5: "toric",
              6: "bivariate_bicycle", 7: "hypergraph_product", 8: "fiber_bundle", 255: "custom"}


def _progress(total: int | None, label: str, enabled: bool) -> Any:
    """A tqdm bar on stderr for long runs, or a stand-in that does nothing."""
    if enabled:
        try:
            from tqdm import tqdm

            return tqdm(total=total, desc=label, unit=" frames", file=sys.stderr, mininterval=0.5)
        except ImportError:
            pass

    class Quiet:
        def update(self, n: int = 1) -> None:
            pass

        def close(self) -> None:
            pass

    return Quiet()


# ---------------------------------------------------------------- inspect

def inspect_source(source: str) -> dict[str, Any]:
    frames = 0
    masks = 0
    fired = 0
    ancillas = 0
    rounds: dict[int, list[int]] = collections.defaultdict(lambda: [0, 0])  # round -> fired, cells
    codes: collections.Counter[str] = collections.Counter()
    distances: collections.Counter[int] = collections.Counter()
    first_id = last_id = None
    with _ostrel.OstrelStream(source) as stream:
        for frame in stream:
            frames += 1
            if first_id is None:
                first_id = frame.frame_id
            last_id = frame.frame_id
            codes[CODE_NAMES.get(frame.code_type, f"0x{frame.code_type:02x}")] += 1
            distances[frame.distance] += 1
            fired += frame.detector_event_count
            ancillas += frame.ancilla_count
            per_round = rounds[frame.round]
            per_round[0] += frame.detector_event_count
            per_round[1] += frame.ancilla_count
            if frame.to_dict()["observable_flips"] is not None:
                masks += 1
    return {
        "source": source,
        "frames": frames,
        "first_frame_id": first_id,
        "last_frame_id": last_id,
        "rounds": len(rounds),
        "code_types": dict(codes),
        "distances": {str(d): n for d, n in sorted(distances.items())},
        "fired_detector_rate": fired / ancillas if ancillas else 0.0,
        "fired_detector_rate_per_round": {
            str(r): (f / c if c else 0.0) for r, (f, c) in sorted(rounds.items())},
        "frames_with_observable_mask": masks,
    }


def _inspect_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", help="a QSSF file or tcp://host:port")
    p.add_argument("--json", action="store_true", help="print the summary as JSON")


def run_inspect(args: argparse.Namespace) -> int:
    s = inspect_source(args.source)
    if args.json:
        print(json.dumps(s, indent=2))
        return 0
    print(f"{s['source']}: {s['frames']:,} frames over {s['rounds']:,} rounds")
    if s["frames"]:
        print(f"  frame ids      {s['first_frame_id']} .. {s['last_frame_id']}")
        print("  code types     " + ", ".join(f"{k} {v:,}" for k, v in s["code_types"].items()))
        print("  distances      " + ", ".join(f"d={k}: {v:,}" for k, v in s["distances"].items()))
        print(f"  fired rate     {s['fired_detector_rate']:.4f} of detectors per frame")
        per_round = list(s["fired_detector_rate_per_round"].items())
        shown = per_round if len(per_round) <= 12 else per_round[:6] + [("...", None)] + per_round[-5:]
        print("  per round      " + "  ".join(
            "..." if rate is None else f"{r}:{rate:.3f}" for r, rate in shown))
        print(f"  masks present  {s['frames_with_observable_mask']:,} frames carry observable_flips")
    return 0


# ---------------------------------------------------------------- synth

def _probability(text: str) -> float:
    try:
        p = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a probability: {text!r}") from None
    if not 0.0 <= p <= 0.5:
        raise argparse.ArgumentTypeError(f"probability must be between 0 and 0.5, got {text}")
    return p


def _synth_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("--code", choices=synth.CODES, required=True)
    p.add_argument("--distance", type=positive_int, required=True)
    p.add_argument("--rounds", type=positive_int, required=True)
    p.add_argument("--shots", type=positive_int, required=True)
    p.add_argument("--p", type=_probability, required=True, help="physical error rate")
    p.add_argument("--seed", type=int, default=None)
    p.add_argument("-o", "--out", required=True, metavar="DIR", help="output folder")


def run_synth(args: argparse.Namespace) -> int:
    if args.code == "repetition" and args.distance < 2:
        raise CommandError("a repetition code needs distance 2 or more")
    if args.code == "surface" and (args.distance < 3 or args.distance % 2 == 0):
        raise CommandError("a surface code needs an odd distance of 3 or more")
    try:
        exp = synth.write_experiment(args.out, args.code, args.distance, args.rounds, args.shots,
                                     args.p, seed=args.seed)
    except ImportError as e:
        raise CommandError(f"synth needs stim and numpy ({e})") from None
    frames = exp.shots * exp.frames_per_shot
    print(f"wrote {exp.stream} ({frames:,} frames, {exp.frames_per_shot} per shot, "
          f"{exp.ancilla_count} detectors per frame)")
    print(f"wrote {exp.dem} ({exp.detector_count} detectors, {exp.observable_count} observables)")
    print(f"wrote {exp.truth} ({exp.shots:,} shots)")
    return 0


# ---------------------------------------------------------------- decode

def decode_source(source: str, dem: str, truth: list[int] | None, window_depth: int,
                  compare_pymatching: bool, progress: bool | None = None) -> dict[str, Any]:
    """Decodes every frame; a shot ends every `depth` frames, depth being the window's."""
    model = _ostrel.DetectorErrorModel.from_file(dem)
    matching = None
    if compare_pymatching:
        # pymatching's own reading of the model: it merges parallel edges, which the model's
        # literal export (to_pymatching) leaves for pymatching to refuse.
        import pymatching

        matching = pymatching.Matching.from_detector_error_model_file(dem)
    import numpy as np

    accumulator = _ostrel.LogicalErrorAccumulator(model.observable_count)
    reference = _ostrel.LogicalErrorAccumulator(model.observable_count)
    frames = 0
    shots = 0
    depth = None
    shot_rows: list[Any] = []
    reference_shots: list[Any] = []
    bar = _progress(None, "decoding", progress if progress is not None else sys.stderr.isatty())
    start = time.perf_counter()
    try:
        with _ostrel.OstrelStream(source) as stream:
            stream.set_decoder(dem, window_depth)
            for frame in stream:
                if depth is None:
                    depth = window_depth or max(1, model.detector_count // max(1, frame.ancilla_count))
                frames += 1
                bar.update()
                if matching is not None:
                    shot_rows.append(frame.to_numpy_detector_events())
                if frames % depth:
                    continue
                if truth is not None:
                    if shots >= len(truth):
                        raise CommandError(f"the stream has more shots than the truth file ({len(truth)})")
                    accumulator.record(_ostrel.DecoderResult(frame.observable_flips), truth[shots])
                if matching is not None:
                    reference_shots.append(np.concatenate(shot_rows)[:model.detector_count])
                    shot_rows = []
                shots += 1
    finally:
        bar.close()
    seconds = time.perf_counter() - start
    result: dict[str, Any] = {"frames": frames, "shots": shots, "window_depth": depth,
                              "seconds": seconds, "frames_per_second": frames / seconds if seconds else 0.0}
    if truth is not None:
        if shots != len(truth):
            raise CommandError(f"the stream holds {shots} shots but the truth file {len(truth)}")
        result["ostrel_logical_error_rate"] = accumulator.mean_logical_error_rate()
        if matching is not None and reference_shots:
            syndromes = np.array(reference_shots, dtype=np.uint8)
            predictions = matching.decode_batch(syndromes)
            for predicted, true in zip(predictions, truth):
                mask = int(sum(int(bit) << k for k, bit in enumerate(predicted)))
                reference.record(_ostrel.DecoderResult(mask), true)
            result["pymatching_logical_error_rate"] = reference.mean_logical_error_rate()
    return result


def _decode_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", help="a QSSF file or tcp://host:port")
    p.add_argument("--dem", required=True, help="the detector error model (Stim DEM file)")
    p.add_argument("--truth", help="true observable masks, one decimal integer per shot and line")
    p.add_argument("--window-depth", type=int, default=0, help="rounds per decode (0: infer)")
    p.add_argument("--compare-pymatching", action="store_true",
                   help="also decode each shot with pymatching (needs --truth)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")


def run_decode(args: argparse.Namespace) -> int:
    if args.window_depth < 0:
        raise CommandError("--window-depth must not be negative")
    if args.compare_pymatching and not args.truth:
        raise CommandError("--compare-pymatching needs --truth")
    if not os.path.exists(args.dem):
        raise CommandError(f"no such DEM file: {args.dem}")
    truth = None
    if args.truth:
        try:
            truth = synth.read_truth(args.truth)
        except ValueError as e:
            raise CommandError(str(e)) from None
    try:
        r = decode_source(args.source, args.dem, truth, args.window_depth, args.compare_pymatching)
    except ValueError as e:  # a DEM that does not parse
        raise CommandError(f"{args.dem}: {e}") from None
    except ImportError as e:
        raise CommandError(str(e)) from None
    if args.json:
        print(json.dumps(r, indent=2))
        return 0
    print(f"decoded {r['frames']:,} frames ({r['shots']:,} shots, window depth {r['window_depth']}) "
          f"at {r['frames_per_second']:,.0f} frames/s")
    if "ostrel_logical_error_rate" in r:
        print(f"  ostrel Union-Find logical error rate  {r['ostrel_logical_error_rate']:.4f}")
    if "pymatching_logical_error_rate" in r:
        print(f"  pymatching logical error rate         {r['pymatching_logical_error_rate']:.4f}")
    return 0


COMMANDS["inspect"] = ("Summarise a QSSF file or live stream.", _inspect_arguments, run_inspect)
COMMANDS["synth"] = ("Write a synthetic memory experiment from Stim: QSSF stream, DEM and truth.",
                     _synth_arguments, run_synth)
COMMANDS["decode"] = ("Decode every frame of a stream and report logical error rates.",
                      _decode_arguments, run_decode)
