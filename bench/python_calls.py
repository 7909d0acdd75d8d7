"""Time per call of the Python state accessors and `Robot.read_once()` against the simulated arm.

    PYTHONPATH=build/python:python python bench/python_calls.py [--repeat 7]

Each row is the best of `--repeat` runs; the ratio compares with `numpy.array(list_of_7_floats)`,
measured in the same run, as the cost of the cheapest comparable Python-side array creation.
`read_once()` waits for the arm's next state, so it is paced by the 1 kHz stream.
"""
import argparse
import threading
import timeit

import numpy as np

import korvex
import korvex.sim


def connect(address):
    # A Robot raises its constructing thread to realtime priority; keep this one as it is.
    out = {}
    thread = threading.Thread(target=lambda: out.setdefault("robot", korvex.Robot(address, realtime="ignore")))
    thread.start()
    thread.join(30)
    return out["robot"]


def per_call(stmt, number, repeat):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args()

    with korvex.sim.ArmSimulator(model="zk2", host="127.0.0.1", port=0) as sim:
        robot = connect(sim.address)
        state = robot.read_once()
        values = state.q.tolist()
        rows = [
            ("numpy.array(list_of_7_floats)", lambda: np.array(values), 200_000),
            ("state.q", lambda: state.q, 200_000),
            ("state.O_T_EE", lambda: state.O_T_EE, 200_000),
            ("state.flat()", lambda: state.flat(), 200_000),
            ("Robot.read_once()", robot.read_once, 500),
        ]
        times = [(name, per_call(stmt, number, args.repeat)) for name, stmt, number in rows]

    baseline = times[0][1]
    print(f"{'call':<32}{'time per call':>16}{'ratio':>10}")
    for name, t in times:
        shown = f"{t * 1e6:.3f} us" if t >= 1e-6 else f"{t * 1e9:.0f} ns"
        print(f"{name:<32}{shown:>16}{t / baseline:>10.2f}")


if __name__ == "__main__":
    main()
