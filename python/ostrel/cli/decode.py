"""The ``decode`` command: decode every frame of a stream and report logical error rates."""

from __future__ import annotations

import argparse
import json
import os
import sys
import time
from typing import Any

import _ostrel
from ostrel import synth
from ostrel.cli.common import CommandError, naming, plural, progress_bar
from ostrel.rounds import rounds_layout


def check_model(dem: str, model: Any, truth: list[int] | None) -> None:
    """Refuses models that would make every prediction, or every comparison, meaningless."""
    if model.error_count == 0:
        raise CommandError(f"{dem}: the model has no error mechanisms, so every prediction would be 0 "
                           "(is it a Stim circuit rather than a detector error model?)")
    if truth is None:
        return
    if model.observable_count == 0:
        raise CommandError(f"{dem}: the model has no observables to compare with the truth file")
    named = 0
    for mask in truth:
        named |= mask
    if named >> model.observable_count:
        highest = named.bit_length() - 1
        raise CommandError(f"the truth file names observable {highest} but {dem} has "
                           f"{plural(model.observable_count, 'observable')}")


def check_coverage(dem: str, model: Any, ancilla_count: int, depth: int) -> None:
    """Every cell of a full window must be one of the model's detectors."""
    cells = ancilla_count * depth
    if cells > model.detector_count:
        raise CommandError(
            f"{dem}: the model's {plural(model.detector_count, 'detector')} cannot cover the frames' "
            f"cells ({plural(ancilla_count, 'cell')} per frame x window depth {depth} = {cells:,})")


# The methods offered, the default first; the fixed reference procedure is taken by name too.
METHODS = (_ostrel.DEFAULT_METHOD, *(m for m in _ostrel.DECODE_METHODS if m != _ostrel.DEFAULT_METHOD))
REFERENCE_METHOD = "union-find"
# The methods on the decoding graph, for which a long shot of rounds gets a sliding window unasked
# (every listed method windows when asked).
GRAPH_METHODS = ("matching", "correlated-matching", "weighted-union-find", "correlated-union-find")


def _method(name: str) -> str:
    if name in METHODS or name == REFERENCE_METHOD:
        return name
    raise argparse.ArgumentTypeError(f"invalid choice: {name!r} (choose from {', '.join(METHODS)})")


def open_recording(source: str) -> Any:
    """The stream of `source`; a file is a recording, whose end is final: a frame cut by it is
    the truncation error, as every whole-file reader reports it, not frames still to come."""
    stream = _ostrel.OstrelStream(source)
    if "://" not in source:
        stream._treat_end_as_final()
    return stream


def rate_of(predictions: Any, truth: list[int]) -> float:
    """The fraction of shots whose predicted observables (a uint8 row each) differ from the truth."""
    wrong = 0
    for predicted, true in zip(predictions, truth):
        mask = int(sum(int(bit) << k for k, bit in enumerate(predicted)))
        wrong += mask != true
    return wrong / len(truth) if truth else 0.0


def decode_source(source: str, dem: str, truth: list[int] | None, window_depth: int,
                  compare_pymatching: bool, progress: bool | None = None,
                  method: str = _ostrel.DEFAULT_METHOD, compare_methods: bool = False) -> dict[str, Any]:
    """Decodes every frame; a shot ends every `depth` frames, depth being the window's.

    With `compare_methods` (and a truth file) the shots are also decoded afterwards, as whole
    shots, by the other method and by "no correction", for the demo's table."""
    model = _ostrel.DetectorErrorModel.from_file(dem)
    check_model(dem, model, truth)
    decoder = _ostrel.Decoder(model, method=method)
    matching = None
    keep_shots = compare_pymatching or compare_methods
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
    bar = progress_bar(None, "decoding", progress if progress is not None else sys.stderr.isatty())
    start = time.perf_counter()
    interrupted = False
    try:
        with open_recording(source) as stream:
            stream.set_decoder(decoder, window_depth)
            for frame in stream:
                if depth is None:
                    depth = window_depth or max(1, model.detector_count // max(1, frame.ancilla_count))
                    check_coverage(dem, model, frame.ancilla_count, depth)
                frames += 1
                bar.update()
                if keep_shots:
                    shot_rows.append(frame.to_numpy_detector_events())
                if frames % depth:
                    continue
                if truth is not None:
                    if shots >= len(truth):
                        raise CommandError(f"the stream has more shots than the truth file ({len(truth)})")
                    accumulator.record(_ostrel.DecoderResult(frame.observable_flips), truth[shots])
                if keep_shots:
                    reference_shots.append(np.concatenate(shot_rows)[:model.detector_count])
                    shot_rows = []
                shots += 1
    except KeyboardInterrupt:
        interrupted = True  # the statistics of the shots decoded so far are still reported
    finally:
        bar.close()
    seconds = time.perf_counter() - start
    result: dict[str, Any] = {"method": method, "frames": frames, "shots": shots, "window_depth": depth,
                              "seconds": seconds, "frames_per_second": frames / seconds if seconds else 0.0}
    if interrupted:
        result["interrupted"] = True
        truth = truth[:shots] if truth is not None else None
    if truth is not None:
        if shots != len(truth):
            raise CommandError(f"the stream holds {plural(shots, 'shot')} but the truth file {len(truth):,}")
        result["ostrel_logical_error_rate"] = accumulator.mean_logical_error_rate()
        if matching is not None and reference_shots:
            syndromes = np.array(reference_shots, dtype=np.uint8)
            predictions = matching.decode_batch(syndromes)
            for predicted, true in zip(predictions, truth):
                mask = int(sum(int(bit) << k for k, bit in enumerate(predicted)))
                reference.record(_ostrel.DecoderResult(mask), true)
            result["pymatching_logical_error_rate"] = reference.mean_logical_error_rate()
        if compare_methods and reference_shots:
            syndromes = np.array(reference_shots, dtype=np.uint8)
            for other, decoder in _other_decoders(model, method):
                predictions = decoder.decode_batch(syndromes)
                result[f"{other.replace('-', '_')}_logical_error_rate"] = rate_of(predictions, truth)
            result["no_correction_logical_error_rate"] = sum(t != 0 for t in truth) / len(truth) if truth else 0.0
    return result


def _other_decoders(model: Any, method: str) -> list[tuple[str, Any]]:
    """A decoder of every other method that takes the model (colour-code methods refuse models
    without colour marks), for comparisons."""
    out = []
    for other in (*METHODS, REFERENCE_METHOD):
        if other == method:
            continue
        try:
            out.append((other, _ostrel.Decoder(model, method=other)))
        except ValueError:
            continue
    return out


def decode_rounds(source: str, dem: str, truth: list[int] | None, window: tuple[int, int] | None,
                  compare_pymatching: bool, progress: bool | None = None,
                  compare_whole_shot: bool = False, compare_methods: bool = False,
                  method: str = METHODS[0]) -> dict[str, Any]:
    """Decodes a stream of one frame per round with a sliding window that commits
    (``window`` = (commit, buffer) rounds; None decodes each whole shot at once). A shot ends
    with the layout's last round; its last frame carries the shot's prediction.

    With a truth file, the shots can also be decoded afterwards as whole shots: by the same
    decoder (`compare_whole_shot`), by pymatching, and (`compare_methods`, for the demo's
    table) by the other methods and by "no correction"."""
    import numpy as np

    model = _ostrel.DetectorErrorModel.from_file(dem)
    check_model(dem, model, truth)
    layout = _ostrel.SlidingWindowDecoder.coordinate_layout(model)
    rounds = layout.shape[0]
    commit, buffer = window if window else (rounds, 1)
    decoder = _ostrel.SlidingWindowDecoder(model, commit, buffer, method=method)
    cells = layout >= 0
    accumulator = _ostrel.LogicalErrorAccumulator(model.observable_count)
    keep_shots = compare_pymatching or compare_whole_shot or compare_methods
    shots: list[Any] = []  # per complete shot: its frames' detection events, round by round
    pending: list[Any] = []
    frames = 0
    count = 0
    bar = progress_bar(None, "decoding", progress if progress is not None else sys.stderr.isatty())
    start = time.perf_counter()
    interrupted = False
    try:
        with open_recording(source) as stream:
            stream.set_decoder(decoder)
            for frame in stream:
                if frames == 0:  # rates count from the first frame, not from connecting
                    start = time.perf_counter()
                frames += 1
                bar.update()
                if keep_shots:
                    if frame.round == 0:
                        pending = []
                    pending.append(frame.to_numpy_detector_events())
                if frame.round != rounds - 1:
                    continue
                if truth is not None:
                    if count >= len(truth):
                        raise CommandError(f"the stream has more shots than the truth file ({len(truth)})")
                    accumulator.record(_ostrel.DecoderResult(frame.observable_flips), truth[count])
                if keep_shots:
                    shots.append(pending)
                count += 1
    except KeyboardInterrupt:
        interrupted = True  # the statistics of the shots decoded so far are still reported
    finally:
        bar.close()
    seconds = time.perf_counter() - start
    result: dict[str, Any] = {
        "method": method, "frames": frames, "shots": count, "window": f"{commit},{buffer}" if window else "whole shot",
        "seconds": seconds, "frames_per_second": (frames - 1) / seconds if frames > 1 and seconds else 0.0,
        "commit_latency_us": dict(zip(("p50", "p90", "p99", "p99.9"), decoder.commit_latency_us())),
        "shot_latency_us": dict(zip(("p50", "p90", "p99", "p99.9"), decoder.shot_latency_us()))}
    if interrupted:
        result["interrupted"] = True
        truth = truth[:count] if truth is not None else None
    if truth is None:
        return result
    if count != len(truth):
        raise CommandError(f"the stream holds {count} shots but the truth file {len(truth)}")
    result["ostrel_logical_error_rate"] = accumulator.mean_logical_error_rate()
    syndromes = np.zeros((len(shots), model.detector_count), dtype=np.uint8)
    if shots:
        events = np.array(shots, dtype=np.uint8)  # shots x rounds x ancillas
        for r in range(rounds):
            syndromes[:, layout[r][cells[r]]] = events[:, r, cells[r]]
    references = []
    if compare_whole_shot:
        references.append(("whole_shot_logical_error_rate", _ostrel.Decoder(model, method=method)))
    if compare_methods:
        for other, decoder in _other_decoders(model, method):
            references.append((f"{other.replace('-', '_')}_logical_error_rate", decoder))
        result["no_correction_logical_error_rate"] = sum(t != 0 for t in truth) / len(truth) if truth else 0.0
    if compare_pymatching:
        import pymatching

        references.append(("pymatching_logical_error_rate", pymatching.Matching.from_detector_error_model_file(dem)))
    for key, reference in references:
        rates = _ostrel.LogicalErrorAccumulator(model.observable_count)
        for predicted, true in zip(reference.decode_batch(syndromes), truth):
            rates.record(_ostrel.DecoderResult(int(sum(int(bit) << k for k, bit in enumerate(predicted)))), true)
        result[key] = rates.mean_logical_error_rate()
    return result


def first_frame(source: str) -> Any:
    """A file's first frame (None for a live source, an empty file or one that fails: the decode
    itself reports that), for choosing how to decode before decoding."""
    if "://" in source:
        return None
    try:
        with open_recording(source) as stream:
            return next(iter(stream), None)
    except OSError:
        return None


# Sliding windows commit and look ahead this many rounds at least, and twice the code distance when
# frames name one: a buffer of twice the distance decodes as well as the whole shot (repetition
# d=5, 200 rounds, 3,000 shots: matching fails the very same shots), and committing as many rounds
# again keeps the work per round low.
MIN_WINDOW_ROUNDS = 10


def plan(args: argparse.Namespace, model: Any, first: Any) -> tuple[Any, str]:
    """How to decode: False for whole shots by a Decoder over `--window-depth` frames; None for
    whole shots through the rounds' layout (frames are rounds); (commit, buffer) for a sliding
    window. With the reason, for the one line that says what was used."""
    if args.window is not None:
        if first is not None and first.ancilla_count == model.detector_count > 0:
            raise CommandError(f"--window decodes frames of one round each, but the first frame holds "
                               f"all {model.detector_count:,} detectors of a shot")
        return args.window, "as asked (--window)"
    if args.window_depth:
        return False, "as asked (--window-depth)"
    if first is not None and first.ancilla_count == model.detector_count:
        return False, "one frame per shot"
    try:
        layout = _ostrel.SlidingWindowDecoder.coordinate_layout(model)
    except ValueError:
        return False, "the model has no rounds"
    rounds = layout.shape[0]
    if first is not None and first.ancilla_count != layout.shape[1]:
        return False, f"frames of {plural(first.ancilla_count, 'ancilla')} are not the model's rounds"
    holes = rounds_layout(model) is not None
    size = max(MIN_WINDOW_ROUNDS, 2 * (first.distance if first is not None else 0))
    if rounds > 2 * size and args.method in GRAPH_METHODS:
        return (size, size), f"chosen for {plural(rounds, 'round')} a shot (as accurate as whole shots, faster)"
    if holes:
        return None, f"{plural(rounds, 'round')} a shot"
    return False, f"{plural(rounds, 'round')} a shot"


def _window(text: str) -> tuple[int, int]:
    parts = text.split(",")
    if len(parts) != 2 or not all(p.strip().isdigit() for p in parts) or min(int(p) for p in parts) < 1:
        raise argparse.ArgumentTypeError(f"expected COMMIT,BUFFER (two whole numbers of at least 1), got {text!r}")
    return int(parts[0]), int(parts[1])


def _decode_arguments(p: argparse.ArgumentParser) -> None:
    p.add_argument("source", help="a QSSF file or tcp://host:port")
    p.add_argument("--dem", required=True, help="the detector error model (Stim DEM file)")
    p.add_argument("--truth", help="true observable masks, one decimal integer per shot and line")
    p.add_argument("--window-depth", type=int, default=0, help="rounds per decode (0: infer)")
    p.add_argument("--window", type=_window, metavar="COMMIT,BUFFER",
                   help="frames are rounds (one frame per round, any code): decode them with a "
                        "sliding window that commits COMMIT rounds at a time and looks BUFFER rounds "
                        f"ahead. Default: max({MIN_WINDOW_ROUNDS}, 2 x the frames' distance) each, when "
                        "a shot has more than twice that many rounds; else whole shots")
    p.add_argument("--method", type=_method, default=METHODS[0], metavar="METHOD",
                   help=("the decoder: " + "; ".join(f"{m}: {s}" for m, s in _ostrel.DECODE_METHODS.items())).replace("%", "%%"))
    p.add_argument("--compare-pymatching", action="store_true",
                   help="also decode each shot with pymatching (needs --truth)")
    p.add_argument("--json", action="store_true", help="print the result as JSON")


def prepare(args: argparse.Namespace) -> tuple[list[int] | None, Any, str]:
    """Checks decode's arguments; returns the truth file's masks (or None), the window the frames
    are decoded with (False: windows of `window_depth` frames; None: whole shots of rounds; else
    (commit, buffer)) and why it was chosen."""
    if args.window_depth < 0:
        raise CommandError("--window-depth must not be negative")
    if args.compare_pymatching and not args.truth:
        raise CommandError("--compare-pymatching needs --truth")
    if not os.path.exists(args.dem):
        raise CommandError(f"no such DEM file: {args.dem}")
    truth = None
    if args.truth:
        try:
            with naming(args.truth):
                truth = synth.read_truth(args.truth)
        except ValueError as e:
            raise CommandError(str(e)) from None
    try:
        with naming(args.dem):
            model = _ostrel.DetectorErrorModel.from_file(args.dem)
        window, why = plan(args, model, first_frame(args.source))
    except ValueError as e:  # a DEM that does not parse
        raise CommandError(f"{args.dem}: {e}") from None
    if window is not False and args.method == REFERENCE_METHOD:
        raise CommandError(f"frames of one round each are decoded by a sliding window, which "
                           f"takes any of {', '.join(_ostrel.DECODE_METHODS)}, not {args.method}")
    return truth, window, why


def run_decode(args: argparse.Namespace) -> int:
    truth, window, why = prepare(args)
    rounds = window is not False
    try:
        if rounds:
            with naming(args.source):
                r = decode_rounds(args.source, args.dem, truth, window, args.compare_pymatching,
                                  method=args.method)
        else:
            with naming(args.source):
                r = decode_source(args.source, args.dem, truth, args.window_depth, args.compare_pymatching,
                                  method=args.method)
    except ValueError as e:  # a DEM that does not parse or has no usable layout
        raise CommandError(f"{args.dem}: {e}") from None
    except ImportError as e:
        raise CommandError(str(e)) from None
    if args.json:
        r["chosen_because"] = why
        print(json.dumps(r, indent=2))
        return interrupted_status(r)
    r["chosen_because"] = why
    if rounds:
        shape = "whole shots" if r["window"] == "whole shot" else f"a sliding window {r['window']} (commit,buffer rounds)"
        print(f"decoded {plural(r['frames'], 'frame')} ({plural(r['shots'], 'shot')}) with {r['method']} over "
              f"{shape}, {why}, at {r['frames_per_second']:,.0f} frames/s; last round to prediction "
              f"p50 {r['shot_latency_us']['p50']:.1f} us, p99 {r['shot_latency_us']['p99']:.1f} us")
    else:
        print(f"decoded {plural(r['frames'], 'frame')} ({plural(r['shots'], 'shot')}) with {r['method']} over "
              f"whole shots of {plural(r['window_depth'], 'frame')}, {why}, at {r['frames_per_second']:,.0f} frames/s")
    rates = [(f"ostrel {r['method']}", r.get("ostrel_logical_error_rate")),
             ("pymatching", r.get("pymatching_logical_error_rate"))]
    rates = [(label, rate) for label, rate in rates if rate is not None]
    width = max((len(label) for label, _ in rates), default=0)
    for label, rate in rates:
        print(f"  {label:<{width}}  logical error rate {rate:.4f}")
    return interrupted_status(r)


def interrupted_status(r: dict[str, Any]) -> int:
    """130 (after saying so on stderr) when Ctrl-C ended the decode early, else 0."""
    if not r.get("interrupted"):
        return 0
    print(f"ostrel decode: interrupted after {plural(r['shots'], 'shot')}; the figures above are theirs",
          file=sys.stderr)
    return 130


HELP = "Decode every frame of a stream and report logical error rates."
add_arguments = _decode_arguments
run = run_decode
