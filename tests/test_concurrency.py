"""Fits from several Python threads at once, and reservations held by a running fit."""
import threading

import numpy as np

import velmora_core
from conftest import InternalError, spectrum


def test_parallel_fits_on_shared_inputs_match_sequential_results():
    x, intensity = spectrum(n=30000, seed=11)
    x.flags.writeable = False
    alpha = np.ones(3)
    starts = [np.array([2.0 + 0.1 * t, 5.5, 7.0]) for t in range(6)]

    def fit(mu0):
        mu, sigma, pi = mu0.copy(), np.ones(3), np.full(3, 1 / 3)
        res = velmora_core.run_em_loop(x, intensity, mu, sigma, pi, alpha, [False] * 3,
                                       [False] * 3, 15, 0.0, 0.0, 10.0)
        return res[1].tobytes() + mu.tobytes() + sigma.tobytes() + pi.tobytes()

    sequential = [fit(m) for m in starts]
    results = [None] * len(starts)
    errors = []

    def worker(i):
        try:
            results[i] = fit(starts[i])
        except BaseException as exc:  # noqa: B036 - report anything to the main thread
            errors.append(exc)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(starts))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors and results == sequential


def test_arrays_held_by_a_running_fit_cannot_be_written_by_another_call():
    x, intensity = spectrum(n=400000, seed=2)
    mu, sigma, pi = np.array([2.5, 5.5, 7.0]), np.ones(3), np.full(3, 1 / 3)
    alpha = np.ones(3)
    flags = [False] * 3
    done = threading.Event()

    def long_fit():
        velmora_core.run_em_loop(x, intensity, mu, sigma, pi, alpha, flags, flags, 200, 0.0,
                                 0.0, 10.0)
        done.set()

    runner = threading.Thread(target=long_fit)
    runner.start()
    refused = {"mu in place": 0, "x in place": 0}
    shared_read_ok = 0
    try:
        while not done.is_set():
            other = dict(mu=np.array([2.0, 5.0, 7.0]), sigma=np.ones(3), pi=np.full(3, 1 / 3))
            grid = x.copy()  # so that only the running fit can hold the memory of x
            for case, override in (("mu in place", dict(mu=mu)), ("x in place", dict(mu=x[:3]))):
                call = dict(other, **override)
                try:
                    velmora_core.run_em_loop(grid, intensity, call["mu"], call["sigma"],
                                             call["pi"], alpha, flags, flags, 0, 0.0, 0.0, 10.0)
                except InternalError as exc:
                    assert "another running call" in str(exc)
                    refused[case] += 1
            # Reading the same grid and intensities at the same time is fine.
            velmora_core.run_em_loop(x, intensity, other["mu"], other["sigma"], other["pi"],
                                     alpha, flags, flags, 0, 0.0, 0.0, 10.0)
            shared_read_ok += 1
    finally:
        runner.join()
    assert refused["mu in place"] > 0 and refused["x in place"] > 0 and shared_read_ok > 0
    # Once the fit has returned, its arrays are free again.
    velmora_core.run_em_loop(x, intensity, mu, sigma, pi, alpha, flags, flags, 0, 0.0, 0.0, 10.0)
