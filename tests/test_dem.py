"""DetectorErrorModel and SpacetimeGraph as Python sees them: parsing, counts, the pymatching export
and the hardware-schema JSON, checked against hand-written text and against models Stim generates."""

import builtins
import json
import math
import os
import re
import subprocess
import sys
import textwrap
import types
import uuid

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _ostrel

stim = pytest.importorskip("stim")

DEM = _ostrel.DetectorErrorModel
IMPORT_MESSAGE = "pymatching not found \u2014 install it with: pip install pymatching"


# ---------------------------------------------------------------------------------------------
# Helpers


class RecordingMatching:
    """Stands in for pymatching.Matching and records every call made on it, in order."""

    def __init__(self, *args, **kwargs):
        self.calls = [("Matching", args, kwargs)]

    def add_edge(self, *args, **kwargs):
        self.calls.append(("add_edge", args, kwargs))

    def set_boundary_nodes(self, *args, **kwargs):
        self.calls.append(("set_boundary_nodes", args, kwargs))


@pytest.fixture
def fake_pymatching(monkeypatch):
    """Replaces the pymatching module with one whose Matching records its calls."""
    module = types.ModuleType("pymatching")
    module.Matching = RecordingMatching
    monkeypatch.setitem(sys.modules, "pymatching", module)
    return module


def calls_of(text):
    return DEM.parse(text).to_pymatching().calls


def weight(p):
    """The edge weight of an error of probability p: -ln(p/(1-p)) rounded to 32 bits, widened."""
    return float(-np.float32(math.log(p / (1.0 - p))))


def expected_calls(stim_dem):
    """The calls to_pymatching must make for a Stim model, derived from Stim's own reading of it:
    one edge per graph-like error, a chain along the written targets (separators ignored) for
    more detectors, fault_ids the observables flipped an odd number of times."""
    flat = stim_dem.flattened()
    boundary = flat.num_detectors
    calls = [("Matching", (), {})]
    for inst in flat:
        if inst.type != "error":
            continue
        (p,) = inst.args_copy()
        detectors = [t.val for t in inst.targets_copy() if t.is_relative_detector_id()]
        odd = set()
        for t in inst.targets_copy():
            if t.is_logical_observable_id():
                odd ^= {t.val}
        if not 0 < p < 1 or not detectors:
            continue
        kwargs = {"weight": weight(p)}
        if odd:
            kwargs["fault_ids"] = odd
        pairs = [(detectors[0], boundary)] if len(detectors) == 1 else zip(detectors, detectors[1:])
        calls += [("add_edge", (u, v), dict(kwargs)) for u, v in pairs]
    calls.append(("set_boundary_nodes", ({boundary},), {}))
    return calls


def generated(task, distance, rounds, p):
    circuit = stim.Circuit.generated(
        task, distance=distance, rounds=rounds, after_clifford_depolarization=p,
        before_measure_flip_probability=p, after_reset_flip_probability=p,
        before_round_data_depolarization=p)
    return circuit, circuit.detector_error_model(decompose_errors=True)


STIM_MODELS = [
    # Enough rounds that Stim folds the middle rounds into a repeat block.
    ("repetition_code:memory", 3, 4, 0.001),
    ("repetition_code:memory", 5, 6, 0.02),
    ("repetition_code:memory", 7, 5, 0.1),
    ("surface_code:rotated_memory_z", 3, 7, 0.001),
    ("surface_code:rotated_memory_z", 3, 9, 0.01),
    ("surface_code:rotated_memory_x", 5, 7, 0.005),
    ("surface_code:unrotated_memory_z", 3, 7, 0.01),
]


def strip_schema_id(text):
    return re.sub(r'"schema_id": "[0-9a-f-]{36}"', '"schema_id": ""', text)


# ---------------------------------------------------------------------------------------------
# Class surface


def test_parse_and_from_file_publish_their_signatures_and_docstrings():
    assert DEM.parse.__text_signature__ == "(text)"
    assert DEM.parse.__doc__ == "Parse a Stim DEM from its text representation."
    assert DEM.from_file.__text_signature__ == "(path)"
    assert DEM.from_file.__doc__ == "Load a Stim DEM from a file path."
    assert DEM.to_pymatching.__text_signature__ == "($self, merge_strategy=None)"
    assert DEM.to_pymatching.__doc__.startswith(
        "Build a `pymatching.Matching` object from this DEM.\n\n"
        "Requires `pymatching` to be installed (`pip install pymatching`).\n"
        "Edges are added with weight `-ln(p/(1-p))` and `fault_ids` identifying\n"
        "which observables flip when the error fires.\n\n")
    assert DEM.to_schema_json.__text_signature__ == "($self, name)"
    assert DEM.to_schema_json.__doc__ == (
        "Serialise this DEM as a `HardwareSchema`-compatible JSON string.")


@pytest.mark.parametrize("cls, props", [
    (DEM, ["detector_count", "observable_count", "error_count"]),
    (_ostrel.SpacetimeGraph, ["node_count", "edge_count", "boundary_node"]),
])
def test_properties_are_read_only_and_there_is_no_constructor(cls, props):
    for name in props:
        assert isinstance(cls.__dict__[name], types.GetSetDescriptorType)
    public = sorted(n for n in cls.__dict__ if not n.startswith("_"))
    methods = ["detector_coordinates", "from_file", "parse", "to_pymatching", "to_schema_json"] if cls is DEM else []
    assert public == sorted(props + methods)
    with pytest.raises(TypeError):
        cls()
    if cls is DEM:
        model = DEM.parse("error(0.1) D0")
        for name in props:
            with pytest.raises(AttributeError):
                setattr(model, name, 3)


@pytest.mark.parametrize("text, counts", [
    ("", (0, 0, 0)),
    ("# a comment\n\n   \t\n", (0, 0, 0)),
    ("error(0.1) D0 D1 L0", (2, 1, 1)),
    ("detector D9", (10, 0, 0)),
    ("logical_observable L5", (0, 6, 0)),
    ("repeat 4 {\n  error(0.1) D0 D5\n}", (6, 0, 4)),
    ("error(0.1) D4294967295 L255", (4294967296, 256, 1)),
])
def test_counts_and_repr(text, counts):
    model = DEM.parse(text)
    assert (model.detector_count, model.observable_count, model.error_count) == counts
    assert all(type(c) is int for c in (model.detector_count, model.observable_count, model.error_count))
    assert repr(model) == "DetectorErrorModel(detectors=%d, observables=%d, errors=%d)" % counts
    assert repr(DEM.parse(text=text)) == repr(model)


@pytest.mark.parametrize("method, keyword", [(DEM.parse, "text"), (DEM.from_file, "path")])
@pytest.mark.parametrize("value", [1, None, b"error(0.1) D0", bytearray(b"x"), ["x"]])
def test_non_str_arguments_are_refused_with_the_argument_named(method, keyword, value):
    for call in (lambda: method(value), lambda: method(**{keyword: value})):
        with pytest.raises(TypeError, match=rf"^argument '{keyword}': .*{type(value).__name__}"):
            call()


def test_text_that_cannot_be_utf8_is_refused():
    # A lone surrogate has no UTF-8 form; the encoding error (a ValueError) reaches the caller.
    with pytest.raises(UnicodeEncodeError):
        DEM.parse("error(0.1) D0 \ud800")


@pytest.mark.parametrize("method", [DEM.parse, DEM.from_file])
def test_wrong_argument_shapes_are_type_errors(method):
    for args, kwargs in [((), {}), (("a", "b"), {}), ((), {"other": "x"}), (("a",), {"text": "a", "path": "a"})]:
        with pytest.raises(TypeError):
            method(*args, **kwargs)


def test_from_file_takes_a_str_path_only(tmp_path):
    path = tmp_path / "model.dem"
    path.write_text("error(0.1) D0 D1 L0\nrepeat 2 {\nerror(0.2) D1\n}\n")
    with pytest.raises(TypeError, match=r"^argument 'path': .*PosixPath"):
        DEM.from_file(path)
    assert repr(DEM.from_file(str(path))) == repr(DEM.from_file(path=str(path))) == (
        "DetectorErrorModel(detectors=2, observables=1, errors=3)")


def test_from_file_failures(tmp_path):
    with pytest.raises(FileNotFoundError) as missing:
        DEM.from_file(str(tmp_path / "absent.dem"))
    assert str(missing.value) == "No such file or directory (os error 2)"
    assert missing.value.errno == 2
    with pytest.raises(IsADirectoryError, match=r"^Is a directory \(os error 21\)$"):
        DEM.from_file(str(tmp_path))

    latin1 = tmp_path / "latin1.dem"
    latin1.write_bytes(b"# caf\xe9\nerror(0.1) D0\n")
    with pytest.raises(OSError) as not_utf8:
        DEM.from_file(str(latin1))
    assert str(not_utf8.value) == "stream did not contain valid UTF-8"
    assert not isinstance(not_utf8.value, ValueError) and not_utf8.value.errno is None

    broken = tmp_path / "broken.dem"
    broken.write_text("error(0.1) X1\n")
    with pytest.raises(ValueError, match=r"^malformed target 'X1'$"):
        DEM.from_file(str(broken))

    # CRLF files and non-ASCII white space read like the plain text.
    crlf = tmp_path / "crlf.dem"
    crlf.write_bytes("error(0.1)\u3000D0\r\n\tdetector(1, 2) D3\r\n".encode())
    assert repr(DEM.from_file(str(crlf))) == "DetectorErrorModel(detectors=4, observables=0, errors=1)"


# ---------------------------------------------------------------------------------------------
# Parse failures


@pytest.mark.parametrize("text, message", [
    ("error(0.1) X1", "malformed target 'X1'"),
    ("error(0.1) D0 #c", "malformed target '#c'"),
    ("error(0.1) L256", "malformed target 'L256'"),
    ("error(0.1) D-1", "malformed target 'D-1'"),
    ("error(0.1) D4294967296", "malformed target 'D4294967296'"),
    ("error(0.1) D1\u00e9", "malformed target 'D1\u00e9'"),
    ("error(abc) D0", "invalid probability 'abc' in error instruction"),
    ("error( 0.5x ) D0", "invalid probability ' 0.5x ' in error instruction"),
    ("  error(0.5 D0  ", "invalid probability 'error(0.5 D0' in error instruction"),
    ("error() D0", "invalid probability '' in error instruction"),
    ("error(0x1p-3) D0", "invalid probability '0x1p-3' in error instruction"),
    ("detector(1,2,3)", "malformed target 'detector(1,2,3)'"),
    ("detector", "malformed target 'detector'"),
    ("detector(1,2 D7", "malformed detector coords 'detector(1,2 D7'"),
    ("detector)1( D7", "malformed detector coords 'detector)1( D7'"),
    ("repeat x {\n}", "invalid repeat count 'x'"),
    ("repeat -1 {\n}", "invalid repeat count '-1'"),
    ("repeat 3{\n}", "invalid repeat count '3{'"),
    ("repeat 18446744073709551616 {\n}", "invalid repeat count '18446744073709551616'"),
    ("repeat 2 {\nerror(0.1) D0", "unterminated repeat block"),
    ("repeat 2 {\nerror(0.1) D0\n} # end", "unterminated repeat block"),
    ("repeat 2 {\nrepeat 2 {\nerror(0.1) D0\n}", "unterminated repeat block"),
    ("repeat 2 {\nerror(bad) D0\n}", "invalid probability 'bad' in error instruction"),
    ("shift_detectors -1", "malformed target 'shift_detectors -1'"),
    ("shift_detectors(a) 1", "malformed target 'shift_detectors(a) 1'"),
    ("shift_detectors 4294967295\nerror(0.1) D1", "malformed target 'D1'"),
    ("error(0.1) D0\nrepeat[r 2 {\nerror(0.1) D1\n}", "unterminated tag in 'repeat[r 2 {'"),
])
def test_parse_failures_carry_their_exact_message(text, message):
    with pytest.raises(ValueError) as failure:
        DEM.parse(text)
    assert type(failure.value) is ValueError
    assert failure.value.args == (message,)


@pytest.mark.parametrize("text, counts", [
    # Unknown and malformed-looking instructions that are not ours are skipped; tagged ones count.
    ("error[tag](0.1) D5\nfoo D7\n}\nlogical_observable # L3\nERROR(0.1) D9", (6, 4, 1)),
    ("error(0.1) L0 D3 ^ D4\nerror( 0.5 )D+5 D007", (8, 1, 2)),
    ("error(2.0)\nerror(0)\nerror(nan) D2\nerror(-inf) L1", (3, 2, 4)),
    ("repeat 0 {\nerror(0.1) D0\ndetector D2\n}", (3, 0, 0)),
    ("repeat 2 {\nlogical_observable L4\n}", (0, 0, 0)),
    ("repeat 2 {\nerror(0.1) L4\n}", (0, 5, 2)),
    ("repeat 2 {\nerror(0.1) D0\n} # c\nerror(0.2) D1\n}\nerror(0.3) D2", (3, 0, 5)),
])
def test_unusual_but_valid_texts(text, counts):
    model = DEM.parse(text)
    assert (model.detector_count, model.observable_count, model.error_count) == counts


# ---------------------------------------------------------------------------------------------
# shift_detectors and repeat blocks


@pytest.mark.parametrize("text, counts", [
    # Each repetition starts where the previous one's shifts left the offset.
    ("repeat 3 {\n error(0.1) D0 D1\n shift_detectors 2\n}", (6, 0, 3)),
    # Text after the block continues from the last repetition's offset.
    ("repeat 3 {\n error(0.1) D0 D1\n shift_detectors 2\n}\nerror(0.1) D1", (8, 0, 4)),
    ("shift_detectors 5\nrepeat 2 {\nerror(0.1) D0\nshift_detectors 1\n}\ndetector D0", (8, 0, 2)),
    ("shift_detectors(1, 2, 3) 10\ndetector(0, 0, 0) D0", (11, 0, 0)),
    # Zero repetitions leave the offset alone yet count the body's targets.
    ("repeat 0 {\nshift_detectors 3\nerror(0.1) D1\n}\nerror(0.1) D0", (5, 0, 1)),
    # Without shift_detectors, repetitions are identical copies.
    ("repeat 4 {\nerror(0.1) D0 D5\n}", (6, 0, 4)),
])
def test_shift_detectors_moves_later_targets(text, counts):
    model = DEM.parse(text)
    assert (model.detector_count, model.observable_count, model.error_count) == counts


def test_repetitions_are_shifted_copies(fake_pymatching):
    calls = calls_of("repeat 3 {\n error(0.1) D0 D1 L0\n shift_detectors 2\n}\nerror(0.2) D1")
    w1, w2 = weight(0.1), weight(0.2)
    assert calls == [
        ("Matching", (), {}),
        ("add_edge", (0, 1), {"weight": w1, "fault_ids": {0}}),
        ("add_edge", (2, 3), {"weight": w1, "fault_ids": {0}}),
        ("add_edge", (4, 5), {"weight": w1, "fault_ids": {0}}),
        ("add_edge", (7, 8), {"weight": w2}),
        ("set_boundary_nodes", ({8},), {}),
    ]


@pytest.mark.parametrize("task, distance, rounds, p", STIM_MODELS)
def test_stim_models_read_as_stim_reads_them(fake_pymatching, task, distance, rounds, p):
    _, dem = generated(task, distance, rounds, p)
    flat = dem.flattened()
    folded_text, flat_text = str(dem), str(flat)
    assert "repeat" in folded_text and "shift_detectors" in folded_text and "repeat" not in flat_text

    folded, flattened = DEM.parse(folded_text), DEM.parse(flat_text)
    stim_errors = sum(1 for inst in flat if inst.type == "error")
    for model in (folded, flattened):
        assert model.detector_count == flat.num_detectors == dem.num_detectors
        assert model.observable_count == flat.num_observables
        assert model.error_count == stim_errors

    expected = expected_calls(dem)
    assert folded.to_pymatching().calls == expected
    assert flattened.to_pymatching().calls == expected
    # Declared detectors (and so their shifted coordinates) come out the same way too.
    assert strip_schema_id(folded.to_schema_json("m")) == strip_schema_id(flattened.to_schema_json("m"))


def tag_circuit(circuit):
    """The circuit with a tag on every noise channel, detector, observable and repeat block."""
    tagged = re.sub(r"^(\s*)(DEPOLARIZE1|DEPOLARIZE2|X_ERROR|Z_ERROR|DETECTOR|OBSERVABLE_INCLUDE|REPEAT)\b",
                    r"\1\2[noise-7]", str(circuit), flags=re.M)
    return stim.Circuit(tagged)


@pytest.mark.parametrize("task, distance, rounds, p", [STIM_MODELS[0], STIM_MODELS[3], STIM_MODELS[6]])
def test_tagged_models_read_as_their_untagged_text(fake_pymatching, frames_file, task, distance, rounds, p):
    circuit, plain = generated(task, distance, rounds, p)
    tagged = tag_circuit(circuit).detector_error_model(decompose_errors=True)
    text = str(tagged)
    assert "error[noise-7](" in text and "repeat[noise-7]" in text and "detector[noise-7](" in text
    # Tags on the model's own instructions too, including the shifts inside repeat bodies.
    text = re.sub(r"^(\s*)(shift_detectors|logical_observable)\b", r"\1\2[t]", text, flags=re.M)

    models = [DEM.parse(text), DEM.parse(str(plain))]
    counts = [(m.detector_count, m.observable_count, m.error_count) for m in models]
    assert counts[0] == counts[1] == (plain.num_detectors, plain.num_observables,
                                     sum(1 for inst in plain.flattened() if inst.type == "error"))
    assert models[0].to_pymatching().calls == models[1].to_pymatching().calls == expected_calls(plain)
    assert strip_schema_id(models[0].to_schema_json("m")) == strip_schema_id(models[1].to_schema_json("m"))

    shots = circuit.compile_detector_sampler(seed=5).sample(50).astype(int).tolist()
    masks = []
    for model in (text, str(plain)):
        path = frames_file(*(dict(frame_id=i + 1, detector_events=s) for i, s in enumerate(shots)))
        with _ostrel.OstrelStream(path) as stream:
            stream.set_decoder(model, window_depth=1)
            masks.append([frame.observable_flips for frame in stream])
    assert masks[0] == masks[1] and len(masks[0]) == 50


# ---------------------------------------------------------------------------------------------
# to_pymatching


def test_to_pymatching_call_sequence(fake_pymatching):
    calls = calls_of("error(0.1) D0 D1 L0\nerror(0.2) D1")
    assert calls == [
        ("Matching", (), {}),
        ("add_edge", (0, 1), {"weight": 2.1972246170043945, "fault_ids": {0}}),
        ("add_edge", (1, 2), {"weight": 1.3862943649291992}),
        ("set_boundary_nodes", ({2},), {}),
    ]
    for name, args, kwargs in calls[1:]:
        assert all(type(a) is (set if name == "set_boundary_nodes" else int) for a in args)
        assert all(type(v) is {"weight": float, "fault_ids": set}[k] for k, v in kwargs.items())
    assert all(type(i) is int for i in calls[-1][1][0])


@pytest.mark.parametrize("text, edges", [
    # Chains follow the written order, separators ignored; every link carries the observables.
    ("error(0.1) D3 D1 ^ D7 L0", [((3, 1), {0}), ((1, 7), {0})]),
    ("error(0.1) D0 D0", [((0, 0), None)]),
    ("error(0.1) L1 D2 L1 L2", [((2, 3), {2})]),
    ("error(0.1) D2 L1 L1", [((2, 3), None)]),
    ("error(0.1) D0 L255 L0 L7 L7 L7", [((0, 1), {0, 7, 255})]),
    # No detector, or a probability outside (0, 1): no edge.
    ("error(0.1) L0\nerror(0) D0\nerror(1) D0\nerror(-0.1) D0 D1\nerror(1.5) D1\nerror(inf) D1", []),
])
def test_edges_and_fault_ids(fake_pymatching, text, edges):
    calls = calls_of(text)
    model = DEM.parse(text)
    assert calls[0] == ("Matching", (), {})
    assert calls[-1] == ("set_boundary_nodes", ({model.detector_count},), {})
    got = [(args, kwargs.get("fault_ids")) for _, args, kwargs in calls[1:-1]]
    assert got == edges
    assert all(kwargs["weight"] == 2.1972246170043945 for _, _, kwargs in calls[1:-1])


def test_edge_weights_follow_the_probability(fake_pymatching):
    calls = calls_of("error(0.5) D0\nerror(0.9) D0\nerror(nan) D0\nerror(1e-300) D0")
    weights = [kwargs["weight"] for _, _, kwargs in calls[1:-1]]
    assert weights[0] == 0.0
    assert weights[1] == -2.1972246170043945
    assert math.isnan(weights[2])
    assert weights[3] == float(np.float32(-math.log(1e-300)))


def test_model_without_edges_still_sets_the_boundary(fake_pymatching):
    assert calls_of("") == [("Matching", (), {}), ("set_boundary_nodes", ({0},), {})]
    assert calls_of("detector D4\nerror(0) D0 D1") == [
        ("Matching", (), {}), ("set_boundary_nodes", ({5},), {})]


def test_missing_pymatching_is_an_import_error_and_other_methods_still_work(monkeypatch):
    model = DEM.parse("error(0.1) D0 D1 L0")
    monkeypatch.setitem(sys.modules, "pymatching", None)
    with pytest.raises(ImportError) as missing:
        model.to_pymatching()
    assert missing.value.args == (IMPORT_MESSAGE,)
    assert model.detector_count == 2 and json.loads(model.to_schema_json("m"))["ancilla_count"] == 2

    # Any failure of the import, not only a missing module, gives the same message.
    monkeypatch.delitem(sys.modules, "pymatching")
    real_import = builtins.__import__

    def failing_import(name, *args, **kwargs):
        if name == "pymatching":
            raise RuntimeError("broken install")
        return real_import(name, *args, **kwargs)

    monkeypatch.setattr(builtins, "__import__", failing_import)
    with pytest.raises(ImportError) as broken:
        model.to_pymatching()
    assert broken.value.args == (IMPORT_MESSAGE,)
    assert broken.value.__context__ is None and broken.value.__cause__ is None


class Boom(Exception):
    pass


@pytest.mark.parametrize("failing", ["Matching", "add_edge", "set_boundary_nodes"])
def test_pymatching_exceptions_reach_the_caller_unchanged(monkeypatch, failing):
    raised = Boom("from pymatching")
    calls = []

    class Matching(RecordingMatching):
        def __init__(self):
            calls.append("Matching")
            if failing == "Matching":
                raise raised

        def add_edge(self, u, v, **kwargs):
            calls.append("add_edge")
            if failing == "add_edge" and len(calls) == 3:
                raise raised

        def set_boundary_nodes(self, nodes):
            calls.append("set_boundary_nodes")
            if failing == "set_boundary_nodes":
                raise raised

    monkeypatch.setitem(sys.modules, "pymatching", types.SimpleNamespace(Matching=Matching))
    with pytest.raises(Boom) as caught:
        DEM.parse("error(0.1) D0\nerror(0.1) D1\nerror(0.1) D2").to_pymatching()
    assert caught.value is raised
    assert calls == {
        "Matching": ["Matching"],
        "add_edge": ["Matching", "add_edge", "add_edge"],  # nothing after the failing call
        "set_boundary_nodes": ["Matching"] + ["add_edge"] * 3 + ["set_boundary_nodes"],
    }[failing]


def test_real_pymatching_refuses_parallel_edges_by_its_own_rule():
    pymatching = pytest.importorskip("pymatching")
    with pytest.raises(ValueError, match="Parallel edges not permitted"):
        DEM.parse("error(0.1) D0 D1\nerror(0.2) D0 D1").to_pymatching()
    matching = DEM.parse("error(0.1) D0 D1 L0\nerror(0.2) D1").to_pymatching()
    assert isinstance(matching, pymatching.Matching)
    assert matching.num_nodes == 3 and matching.num_edges == 2
    assert matching.boundary == {2}


STIM_CIRCUITS = [
    ("repetition_code:memory", 3), ("repetition_code:memory", 7), ("surface_code:rotated_memory_z", 3),
    ("surface_code:rotated_memory_x", 5), ("surface_code:unrotated_memory_z", 3), ("color_code:memory_xyz", 3),
]


@pytest.mark.parametrize("family, distance", STIM_CIRCUITS, ids=[f"{f}-d{d}" for f, d in STIM_CIRCUITS])
def test_merge_strategy_export_decodes_like_pymatchings_own_reading(family, distance):
    stim = pytest.importorskip("stim")
    pymatching = pytest.importorskip("pymatching")
    circuit = stim.Circuit.generated(family, distance=distance, rounds=distance, after_clifford_depolarization=0.01,
                                     before_measure_flip_probability=0.01, after_reset_flip_probability=0.01)
    dem = circuit.detector_error_model(decompose_errors=True)
    model = DEM.parse(str(dem))
    with pytest.raises(ValueError, match="Parallel edges not permitted"):  # the default is unchanged
        model.to_pymatching()
    ours = model.to_pymatching(merge_strategy="independent")
    reference = pymatching.Matching.from_detector_error_model(dem)
    assert (ours.num_detectors, ours.num_edges) == (reference.num_detectors, reference.num_edges)
    shots, observables = circuit.compile_detector_sampler(seed=distance).sample(2000, separate_observables=True)
    predictions = ours.decode_batch(shots)
    assert np.array_equal(predictions, reference.decode_batch(shots))
    assert predictions.any() and (predictions != observables).any(axis=1).sum() < 1000  # real, good work


def test_merge_strategies_merge_components_by_pymatchings_rules():
    pymatching = pytest.importorskip("pymatching")
    # D0-D1 three times (once as part of a decomposed error), D1 alone twice; p = 0 is left out.
    model = DEM.parse("error(0.1) D0 D1 L0\nerror(0.2) D0 D1\nerror(0.3) D2 ^ D0 D1 L1\n"
                      "error(0.1) D1\nerror(0.4) D1 L0\nerror(0) D2 D3")
    edges = {name: {(u, v): (round(data["error_probability"], 6), data["fault_ids"])
                    for u, v, data in model.to_pymatching(merge_strategy=name).edges()}
             for name in ("independent", "keep-original", "replace")}
    p01 = 0.1 * 0.8 + 0.2 * 0.9
    p01 = p01 * 0.7 + 0.3 * (1 - p01)
    assert edges["independent"][(0, 1)][0] == round(p01, 6)
    assert edges["keep-original"][(0, 1)] == (0.1, {0}) and edges["replace"][(0, 1)] == (0.3, {1})
    assert edges["keep-original"][(1, None)] == (0.1, set()) and edges["replace"][(1, None)] == (0.4, {0})
    assert all(set(e) == {(0, 1), (1, None), (2, None)} for e in edges.values())
    with pytest.raises(ValueError, match="Parallel edges not permitted"):
        model.to_pymatching(merge_strategy="disallow")
    with pytest.raises(TypeError, match="argument 'merge_strategy'"):
        model.to_pymatching(merge_strategy=1)
    with pytest.raises(ValueError, match="has a component with 3 detectors"):
        DEM.parse("error(0.1) D0 D1 D2").to_pymatching(merge_strategy="independent")


@pytest.mark.parametrize("text, message", [
    ("error(0.1) D4294967295",
     "detector error model has 4294967296 detectors; a decoding graph holds at most 4294967295"),
    ("detector D4294967295",
     "detector error model has 4294967296 detectors; a decoding graph holds at most 4294967295"),
])
def test_models_without_a_graph_are_refused_before_pymatching_is_touched(fake_pymatching, text, message):
    model = DEM.parse(text)
    with pytest.raises(ValueError) as refused:
        model.to_pymatching()
    assert refused.value.args == (message,)
    assert model.detector_count == 4294967296


def test_node_list_larger_than_memory_is_refused(fake_pymatching):
    memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    if memory > 4294967295 * 24:  # a node is at least an optional triple of doubles wide
        pytest.skip("this machine could hold the node list")
    with pytest.raises(ValueError, match=r"^not enough memory for a decoding graph of 4294967295 nodes$"):
        DEM.parse("error(0.1) D4294967293").to_pymatching()


# ---------------------------------------------------------------------------------------------
# Decoding against pymatching's own reading of the same model


def merged_graphlike_text(stim_dem):
    """The model as one error line per distinct detector pair, parallel mechanisms combined
    (p = p1(1-p2) + p2(1-p1)), so that no edge is parallel to another."""
    edges = {}
    for inst in stim_dem.flattened():
        if inst.type != "error":
            continue
        (p,) = inst.args_copy()
        component = []
        for target in inst.targets_copy() + [stim.target_separator()]:
            if not target.is_separator():
                component.append(target)
                continue
            dets = tuple(sorted(t.val for t in component if t.is_relative_detector_id()))
            obs = frozenset(t.val for t in component if t.is_logical_observable_id())
            component = []
            if not dets:
                continue
            if dets in edges:
                q, first_obs = edges[dets]
                edges[dets] = (q * (1 - p) + p * (1 - q), first_obs)
            else:
                edges[dets] = (p, obs)
    lines = []
    for dets, (p, obs) in edges.items():
        targets = " ".join([f"D{d}" for d in dets] + [f"L{o}" for o in sorted(obs)])
        lines.append(f"error({p!r}) {targets}")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize("task, distance, rounds, p", [
    ("repetition_code:memory", 7, 7, 0.03),
    ("surface_code:rotated_memory_z", 3, 3, 0.01),
    ("surface_code:rotated_memory_x", 5, 5, 0.004),
])
def test_decoding_matches_pymatching_on_models_without_parallel_edges(task, distance, rounds, p):
    pymatching = pytest.importorskip("pymatching")
    circuit, dem = generated(task, distance, rounds, p)
    text = merged_graphlike_text(dem)
    stim_model = stim.DetectorErrorModel(text)

    ours = DEM.parse(text).to_pymatching()
    reference = pymatching.Matching.from_detector_error_model(stim_model)
    pairs = [tuple(sorted((u, v if v is not None else -1))) for u, v, _ in reference.edges()]
    assert len(pairs) == len(set(pairs)) == ours.num_edges

    shots, actual = circuit.compile_detector_sampler(seed=7).sample(
        2000, separate_observables=True)
    ours_predicted = ours.decode_batch(shots)
    assert np.array_equal(ours_predicted, reference.decode_batch(shots))
    # The decoder does better than doing nothing, so the comparison is not vacuous.
    assert shots.any() and (ours_predicted != actual).sum() < actual.sum()


# ---------------------------------------------------------------------------------------------
# Bad input


HUGE_INPUTS = [
    ("repeat 18446744073709551615 {\nerror(0.1) D0\n}",
     "detector error model too large: more than 16777216 errors"),
    ("repeat 16777216 {\nerror(0.1) D0\nerror(0.1) D1\n}",
     "detector error model too large: more than 16777216 errors"),
    ("repeat 10000000 {\nerror(0.1) D0 D1 D2 D3 D4 D5 D6 L0\n}",
     "detector error model too large: more than 67108864 error targets"),
    ("repeat 8388609 {\ndetector D0\nshift_detectors 1\n}",
     "detector error model too large: more than 8388608 detector declarations"),
    ("repeat 18446744073709551615 {\nshift_detectors 1\n}\nerror(0.1) D0", "malformed target 'D0'"),
]


def test_huge_expansions_are_refused_without_allocating_them():
    # In a child process whose address space is capped well below what the expansions would take
    # (not under AddressSanitizer, whose shadow memory alone is larger than any such cap).
    script = textwrap.dedent(f"""
        import os, resource, sys
        sys.path[:0] = {sys.path!r}
        import _ostrel
        if "libasan" not in os.environ.get("LD_PRELOAD", ""):
            resource.setrlimit(resource.RLIMIT_AS, (768 << 20, 768 << 20))
        for text, message in {HUGE_INPUTS!r}:
            try:
                _ostrel.DetectorErrorModel.parse(text)
            except ValueError as e:
                assert type(e) is ValueError and str(e) == message, (text, str(e))
            else:
                raise AssertionError(text)
        m = _ostrel.DetectorErrorModel.parse("repeat 18446744073709551615 {{\\ndetector D0\\n}}")
        assert repr(m) == "DetectorErrorModel(detectors=1, observables=0, errors=0)", repr(m)
        print("ok")
    """)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout == "ok\n"


DEM_PIECES = st.sampled_from([
    "error(", ")", "(", "0.1", "1e-3", "nan", "D", "L", "^", " ", "\t", "\n", "\r\n", "}", "{",
    "repeat ", "repeat 3 {\n", "shift_detectors", "shift_detectors 2\n", "detector", "detector(1, 2) D",
    "logical_observable ", "#", "9", "0", ",", "4294967295", "255", "+", "-", "e", "\u00a0", "\u3000",
    "\u00e9", "\x00", "[t]",
]) | st.sampled_from([
    # Whole lines, so that many texts are valid models with errors in and out of blocks.
    "error(0.1) D1 D2 L0\n", "error(0.2) D0 ^ D3\n", "error(0.3) D", "\n}\n", "detector D4\n",
    "\nrepeat 2 {\n", "shift_detectors 3\n", "error(0.01) L1\n",
])


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(st.one_of(st.text(), st.lists(DEM_PIECES, max_size=40).map("".join)))
def test_any_text_parses_or_fails_with_value_error(text):
    try:
        model = DEM.parse(text)
    except ValueError as e:
        assert type(e) is ValueError and str(e)
        return
    assert repr(model).startswith("DetectorErrorModel(detectors=")
    schema = json.loads(model.to_schema_json("fuzz"))
    assert schema["ancilla_count"] == model.detector_count % 65536
    if model.detector_count > 1 << 20:
        return
    with pytest.MonkeyPatch.context() as patch:
        patch.setitem(sys.modules, "pymatching", types.SimpleNamespace(Matching=RecordingMatching))
        calls = model.to_pymatching().calls
    boundary = model.detector_count
    assert calls[-1] == ("set_boundary_nodes", ({boundary},), {})
    for _, (u, v), kwargs in calls[1:-1]:
        assert 0 <= u <= boundary and 0 <= v <= boundary
        assert all(0 <= k < model.observable_count for k in kwargs.get("fault_ids", ()))


# ---------------------------------------------------------------------------------------------
# to_schema_json


UUID_V4 = r"[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}"


def test_schema_json_exact_text():
    model = DEM.parse("error(0.1) D0 D2 L1\ndetector(1, 2, 0) D2\ndetector D65537")
    text = model.to_schema_json("dev")
    pattern = re.escape(
        '{\n'
        '  "schema_id": "@",\n'
        '  "version": "1.0.0",\n'
        '  "name": "dev",\n'
        '  "description": "Auto-generated from DEM: 65538 detectors, 2 observables",\n'
        '  "code_type": "Custom",\n'
        '  "distance": 0,\n'
        '  "qubit_count": 0,\n'
        '  "ancilla_count": 2,\n'
        '  "stabilizers": [\n'
        '    {\n'
        '      "id": 2,\n'
        '      "type": "X",\n'
        '      "qubits": []\n'
        '    },\n'
        '    {\n'
        '      "id": 1,\n'
        '      "type": "Z",\n'
        '      "qubits": []\n'
        '    }\n'
        '  ],\n'
        '  "measurement_cycle_us": 1.0,\n'
        '  "ancilla_layout": "auto"\n'
        '}').replace("@", UUID_V4)
    assert re.fullmatch(pattern, text)
    loaded = json.loads(text)
    assert list(loaded) == ["schema_id", "version", "name", "description", "code_type", "distance",
                            "qubit_count", "ancilla_count", "stabilizers", "measurement_cycle_us",
                            "ancilla_layout"]
    schema_id = uuid.UUID(loaded["schema_id"])
    assert schema_id.version == 4 and schema_id.variant == uuid.RFC_4122
    assert str(schema_id) == loaded["schema_id"]


def test_schema_json_for_a_model_without_declarations():
    text = DEM.parse("error(0.1) D69999").to_schema_json(name="m")
    assert '\n  "stabilizers": [],\n' in text
    assert '\n  "ancilla_count": 4464,\n' in text
    assert not text.endswith("\n")
    assert json.loads(text)["description"] == "Auto-generated from DEM: 70000 detectors, 0 observables"
    # 2^32 detectors keep only their low 16 bits as well.
    assert json.loads(DEM.parse("detector D4294967295").to_schema_json("m"))["ancilla_count"] == 0


@pytest.mark.parametrize("declaration, kind", [
    ("detector(1, 2, 0) D0", "X"),
    ("detector(1, 1, 0) D0", "Z"),
    ("detector(2.5, 0.4, 0) D0", "X"),
    ("detector(-0.5, 0.5, 0) D0", "Z"),
    ("detector(-1.5) D0", "Z"),
    ("detector(0, 1, 99) D0", "X"),
    ("detector D0", "Z"),
    ("detector() D0", "Z"),
    ("detector(nan, 1) D0", "X"),
    ("detector(1e300, 1e300) D0", "Z"),
    ("shift_detectors(1, 0) 0\ndetector(0, 0) D0", "X"),
])
def test_stabilizer_type_is_the_parity_of_rounded_x_plus_y(declaration, kind):
    (stabilizer,) = json.loads(DEM.parse(declaration).to_schema_json("m"))["stabilizers"]
    assert stabilizer == {"id": 0, "type": kind, "qubits": []}


@pytest.mark.parametrize("name, written", [
    ('say "hi"', r'"say \"hi\""'),
    ("two\nlines", r'"two\nlines"'),
    ("back\\slash\ttab", r'"back\\slash\ttab"'),
    ("\x01", r'"\u0001"'),
    ("caf\u00e9 \u2603", '"caf\u00e9 \u2603"'),
    ("", '""'),
])
def test_schema_name_is_escaped(name, written):
    text = DEM.parse("detector D0").to_schema_json(name)
    assert f'\n  "name": {written},\n' in text
    assert json.loads(text)["name"] == name


def test_schema_json_calls_differ_only_in_their_id():
    model = DEM.parse("error(0.1) D0 D1\ndetector(0, 1) D0")
    first, second = model.to_schema_json("m"), model.to_schema_json("m")
    assert json.loads(first)["schema_id"] != json.loads(second)["schema_id"]
    assert strip_schema_id(first) == strip_schema_id(second)
    assert strip_schema_id(first) != first


@pytest.mark.parametrize("value", [None, 3, b"m"])
def test_schema_name_must_be_a_str(value):
    model = DEM.parse("")
    for call in (lambda: model.to_schema_json(value), lambda: model.to_schema_json(name=value)):
        with pytest.raises(TypeError, match=r"^argument 'name': "):
            call()
    with pytest.raises(TypeError):
        model.to_schema_json()


def test_messages_keep_text_after_a_nul_byte():
    with pytest.raises(ValueError) as info:
        _ostrel.DetectorErrorModel.parse("error(0.1) D0 L0\x00x")
    assert str(info.value) == "malformed target 'L0\x00x'"


@pytest.mark.parametrize("code", ["surface_code:rotated_memory_x", "repetition_code:memory", "color_code:memory_xyz"])
def test_detector_coordinates_are_stims(code):
    dem = stim.Circuit.generated(code, distance=3, rounds=3, after_clifford_depolarization=0.01).detector_error_model()
    ours = DEM.parse(str(dem)).detector_coordinates()
    assert ours == [tuple(c) or None for _, c in sorted(dem.get_detector_coordinates().items())]
