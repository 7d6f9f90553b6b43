"""LogicalErrorAccumulator: per-observable counting, the 64-observable cap, rates without shots,
argument errors that count nothing, and exact totals when many threads record at once."""

import sys
import threading

import numpy as np
import pytest

from _ostrel import DecoderResult, LogicalErrorAccumulator


def rates(acc, n):
    return [acc.logical_error_rate(i) for i in range(n)]


def test_masks_one_three_one_against_one():
    acc = LogicalErrorAccumulator(2)
    for mask in (1, 3, 1):
        assert acc.record(DecoderResult(mask), 1) is None
    assert acc.total_shots() == 3
    assert rates(acc, 2) == [0.0, 1 / 3]
    assert acc.mean_logical_error_rate() == (0.0 + 1 / 3) / 2
    assert repr(acc) == "LogicalErrorAccumulator(shots=3, mean_p_L=0.1667)"


def test_more_than_64_observables_are_capped_at_64():
    acc = LogicalErrorAccumulator(100)
    acc.record(DecoderResult(0), (1 << 63) | 1)
    acc.record(DecoderResult(2**64 - 1), 2**64 - 1)
    assert acc.logical_error_rate(0) == acc.logical_error_rate(63) == 0.5
    assert acc.logical_error_rate(64) == acc.logical_error_rate(70) == acc.logical_error_rate(2**64 - 1) == 0.0
    assert acc.mean_logical_error_rate() == (0.5 + 0.5) / 64  # divided by 64, not 100


def test_zero_observables_still_count_shots():
    acc = LogicalErrorAccumulator(0)
    for _ in range(3):
        acc.record(DecoderResult(5), 0)
    assert (acc.total_shots(), acc.mean_logical_error_rate(), acc.logical_error_rate(0)) == (3, 0.0, 0.0)
    assert repr(acc) == "LogicalErrorAccumulator(shots=3, mean_p_L=0.0000)"


def test_bits_at_or_above_the_observable_count_are_ignored():
    acc = LogicalErrorAccumulator(2)
    acc.record(DecoderResult(0b1110), 0b0010)  # differs in bits 2 and 3 only
    acc.record(DecoderResult(1 << 63), 0)
    assert acc.total_shots() == 2
    assert rates(acc, 4) == [0.0, 0.0, 0.0, 0.0] and acc.mean_logical_error_rate() == 0.0


def test_no_shots_means_every_rate_is_zero():
    acc = LogicalErrorAccumulator(3)
    assert (acc.total_shots(), rates(acc, 3), acc.mean_logical_error_rate()) == (0, [0.0] * 3, 0.0)
    assert repr(acc) == "LogicalErrorAccumulator(shots=0, mean_p_L=0.0000)"


def test_reset_zeroes_the_counts_and_keeps_the_observable_count():
    acc = LogicalErrorAccumulator(100)
    acc.record(DecoderResult(2**64 - 1), 0)
    assert acc.mean_logical_error_rate() == 1.0
    assert acc.reset() is None
    assert (acc.total_shots(), acc.mean_logical_error_rate(), acc.logical_error_rate(63)) == (0, 0.0, 0.0)
    acc.record(DecoderResult(2**64 - 1), 0)  # still 64 observables after the reset
    assert acc.logical_error_rate(63) == 1.0 and acc.logical_error_rate(64) == 0.0
    assert repr(acc) == "LogicalErrorAccumulator(shots=1, mean_p_L=1.0000)"


def test_rates_match_a_direct_count():
    rng = np.random.default_rng(7)
    predicted = rng.integers(0, 16, size=500)
    truth = rng.integers(0, 16, size=500)
    acc = LogicalErrorAccumulator(3)
    for p, t in zip(predicted.tolist(), truth.tolist()):
        acc.record(DecoderResult(p), t)
    wrong = [int((((predicted ^ truth) >> i) & 1).sum()) for i in range(3)]
    assert acc.total_shots() == 500
    assert rates(acc, 4) == [w / 500 for w in wrong] + [0.0]
    assert acc.mean_logical_error_rate() == pytest.approx(sum(w / 500 for w in wrong) / 3, rel=1e-15)
    assert repr(acc) == f"LogicalErrorAccumulator(shots=500, mean_p_L={sum(wrong) / 1500:.4f})"


def test_integer_like_arguments_are_accepted():
    acc = LogicalErrorAccumulator(np.uint8(2))
    acc.record(result=DecoderResult(0), ground_truth=np.uint64(2**64 - 1))
    assert acc.logical_error_rate(observable=np.int32(1)) == 1.0
    # A column of Stim's boolean observable samples, element by element, as bool does.
    acc.record(DecoderResult(np.False_), np.bool_(True))
    acc.record(DecoderResult(np.True_), np.True_)
    assert (acc.total_shots(), acc.logical_error_rate(0)) == (3, 2 / 3)


# --------------------------------------------------------------------------- argument errors


@pytest.mark.parametrize("args, error, match", [
    (("1", 0), TypeError, "argument 'result'"),
    ((1, 0), TypeError, "argument 'result'"),
    ((None, 0), TypeError, "argument 'result'"),
    ((DecoderResult(0), "1"), TypeError, "argument 'ground_truth'"),
    ((DecoderResult(0), 1.0), TypeError, "argument 'ground_truth'"),
    ((DecoderResult(0), None), TypeError, "argument 'ground_truth'"),
    ((DecoderResult(0), -1), OverflowError, None),
    ((DecoderResult(0), 2**64), OverflowError, None),
    ((DecoderResult(0),), TypeError, "missing required argument 'ground_truth'"),
    ((), TypeError, "missing required argument 'result'"),
])
def test_record_argument_errors_count_nothing(args, error, match):
    acc = LogicalErrorAccumulator(2)
    acc.record(DecoderResult(1), 0)
    with pytest.raises(error, match=match):
        acc.record(*args)
    assert (acc.total_shots(), rates(acc, 2)) == (1, [1.0, 0.0])


@pytest.mark.parametrize("arg, error, match", [
    ("0", TypeError, "argument 'observable'"),
    (0.0, TypeError, "argument 'observable'"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
])
def test_logical_error_rate_argument_errors(arg, error, match):
    with pytest.raises(error, match=match):
        LogicalErrorAccumulator(2).logical_error_rate(arg)


@pytest.mark.parametrize("arg, error, match", [
    ("2", TypeError, "argument 'observable_count'"),
    (2.0, TypeError, "argument 'observable_count'"),
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
])
def test_constructor_argument_errors(arg, error, match):
    with pytest.raises(error, match=match):
        LogicalErrorAccumulator(arg)


def test_constructor_needs_its_argument():
    with pytest.raises(TypeError, match="observable_count"):
        LogicalErrorAccumulator()


# --------------------------------------------------------------------------- doc strings


@pytest.mark.parametrize("name, signature", [
    ("record", "($self, result, ground_truth)"),
    ("logical_error_rate", "($self, observable)"),
    ("mean_logical_error_rate", "($self)"),
    ("total_shots", "($self)"),
    ("reset", "($self)"),
])
def test_method_doc_strings_are_signatures_only(name, signature):
    method = getattr(LogicalErrorAccumulator, name)
    assert (method.__text_signature__, method.__doc__) == (signature, None)


def test_class_doc_string():
    assert LogicalErrorAccumulator.__text_signature__ == "(observable_count)"
    assert LogicalErrorAccumulator.__doc__ == ""


# --------------------------------------------------------------------------- threads


@pytest.fixture
def fast_switching():
    # Switch threads as often as the interpreter allows, so that records interleave closely.
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(old)


def test_records_from_many_threads_are_never_lost(fast_switching):
    threads_count, per_thread = 8, 20_000
    acc = LogicalErrorAccumulator(3)
    # Thread t gets observable 0 wrong on every record, observable 1 on every second, and
    # observable 2 only when t is odd.
    wrong_every = DecoderResult(0b001)
    wrong_both = DecoderResult(0b011)
    start = threading.Barrier(threads_count + 1)
    readings = []

    def writer(t):
        truth = 0b100 if t % 2 else 0
        record = acc.record
        start.wait()
        for i in range(per_thread):
            record(wrong_both if i % 2 else wrong_every, truth)

    def reader():
        start.wait()
        for _ in range(2_000):
            readings.append(acc.total_shots())

    workers = [threading.Thread(target=writer, args=(t,)) for t in range(threads_count)]
    workers.append(threading.Thread(target=reader))
    for w in workers:
        w.start()
    for w in workers:
        w.join()

    shots = threads_count * per_thread
    assert acc.total_shots() == shots
    assert rates(acc, 3) == [1.0, 0.5, 0.5]
    assert readings == sorted(readings) and readings[-1] <= shots
