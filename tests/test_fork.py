"""A process forked while another thread is inside a parallel fit can still fit."""
import subprocess
import sys

import pytest

SCRIPT = r'''
import multiprocessing as mp, os, sys, threading, time, numpy as np, velmora_core as V
x = np.linspace(0, 10, 200_000); I = np.exp(-0.5 * (x - 5) ** 2) * 50 + 1
held = np.array([4., 6.])  # written in place by the background fit

def fit(n, mu=None):
    mu, sigma, pi = np.array([4., 6.]) if mu is None else mu, np.ones(2), np.full(2, .5)
    ll = V.run_em_loop(x, I, mu, sigma, pi, np.ones(2), [False] * 2, [False] * 2, n, 0.0, 0.0,
                       10.0)[1]
    return ll.tobytes() + mu.tobytes() + sigma.tobytes() + pi.tobytes()

def every_kind(_=None):
    """A mixture fit, a single-peak fit and a profile, each large enough to use the pool."""
    return [fit(5), V.doniach_sunjic_mle(x[::10], I[::10], 4.5, 1.0, 0.1, 0.0, 10.0, 0.1, 5.0,
                                         0.0, 0.5),
            V.pseudo_voigt_predict(x, 5.0, 1.0, 0.5, 0.0, 10.0).tobytes(),
            free(held)]

def free(a):
    """True when `a` can be written in place, as in a process where no call holds it."""
    V.run_em_loop(np.arange(3.0), np.ones(3), a[:1], np.ones(1), np.ones(1), np.ones(1), [False],
                  [False], 0, 0.0, 0.0, 1.0)
    return True

def wait_for(pid, seconds=60):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, 9)
    return "hung"

def main(how):
    expected = every_kind()
    background = threading.Thread(target=fit, args=(200, held))
    background.start()
    time.sleep(0.3)  # the background fit is now inside its parallel work
    if how in ("os._exit", "exit"):
        pid = os.fork()
        if pid == 0:
            ok = every_kind() == expected
            if how == "exit":
                sys.exit(0 if ok else 1)  # a normal exit runs the libraries' exit handlers
            os._exit(0 if ok else 1)
        print("child", wait_for(pid))
    else:
        with mp.get_context(how).Pool(2) as pool:
            print("pool", [r == expected for r in pool.map_async(every_kind, range(4)).get(60)])
    background.join()
    held[:] = [4., 6.]
    print("parent", every_kind() == expected)

if __name__ == "__main__":
    main(sys.argv[1])
'''


@pytest.mark.parametrize("how, child", [
    ("os._exit", "child 0"),
    ("exit", "child 0"),
    ("fork", "pool [True, True, True, True]"),   # a fork-context pool
    ("spawn", "pool [True, True, True, True]"),
])
def test_processes_started_while_another_thread_fits_can_fit(tmp_path, how, child):
    script = tmp_path / "fork_while_fitting.py"
    script.write_text(SCRIPT)
    done = subprocess.run([sys.executable, str(script), how], capture_output=True, text=True,
                          timeout=180)
    assert done.stdout == child + "\nparent True\n", done.stderr
