"""Time per Python call of `korvex.Model` against Pinocchio on the same arm and the same inputs.

    PYTHONPATH=build/python:python python bench/model_vs_pinocchio.py [--repeat 7]

The model comes from a simulated ZK2 arm (`Robot.model()`); Pinocchio's is read from the URDF the
simulator serves, with an `ee` frame at the flange. Each side is timed as a user calls it, Python
overhead and result handling included: Pinocchio's mass matrix is completed from its upper triangle,
its Coriolis torques come from one RNEA call on a copy of the model without gravity (its cheapest
form), and poses and Jacobians are those of the `ee` frame. Pinocchio's results are views into its
`Data` and are not copied (korvex returns new arrays). Each row is the best of `--repeat` runs.
"""
import argparse
import threading
import timeit

import numpy as np
import pinocchio as pin

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
    parser.add_argument("--number", type=int, default=50_000)
    args = parser.parse_args()

    with korvex.sim.ArmSimulator(model="zk2", host="127.0.0.1", port=0) as sim:
        model = connect(sim.address).model()
        urdf = sim.description

    pm = pin.buildModelFromXML(urdf)
    flange = pm.getFrameId("link8")
    ee = pm.addFrame(pin.Frame("ee", pm.frames[flange].parentJoint, pm.frames[flange].placement, pin.FrameType.OP_FRAME))
    pd = pm.createData()
    pm0 = pin.Model(pm)
    pm0.gravity = pin.Motion.Zero()
    pd0 = pm0.createData()
    lower = np.tril_indices(7, -1)

    rng = np.random.default_rng(7)
    q = rng.uniform(-1.5, 1.5, 7)
    dq = rng.uniform(-1.0, 1.0, 7)
    q_list, dq_list = q.tolist(), dq.tolist()
    a0 = np.zeros(7)

    def pin_mass():
        M = pin.crba(pm, pd, q)
        M[lower] = M.T[lower]
        return M

    def pin_pose():
        pin.forwardKinematics(pm, pd, q)
        return pin.updateFramePlacement(pm, pd, ee).homogeneous

    pairs = [
        ("mass(q)", lambda: model.mass(q), pin_mass),
        ("coriolis(q, dq)", lambda: model.coriolis(q, dq), lambda: pin.rnea(pm0, pd0, q, dq, a0)),
        ("gravity(q)", lambda: model.gravity(q), lambda: pin.computeGeneralizedGravity(pm, pd, q)),
        ("zero_jacobian('ee', q)", lambda: model.zero_jacobian("ee", q),
         lambda: pin.computeFrameJacobian(pm, pd, q, ee, pin.LOCAL_WORLD_ALIGNED)),
        ("pose('ee', q)", lambda: model.pose("ee", q), pin_pose),
        ("mass(q) [q a list]", lambda: model.mass(q_list), pin_mass),
        ("coriolis(q, dq) [lists]", lambda: model.coriolis(q_list, dq_list), lambda: pin.rnea(pm0, pd0, q, dq, a0)),
    ]
    for name, ours, theirs in pairs:  # same numbers before timing anything
        assert np.allclose(ours(), theirs(), rtol=0, atol=1e-9), name

    print(f"{'call':<28}{'korvex':>12}{'Pinocchio':>12}{'ratio':>8}")
    for name, ours, theirs in pairs:
        t_ours = per_call(ours, args.number, args.repeat)
        t_theirs = per_call(theirs, args.number, args.repeat)
        print(f"{name:<28}{t_ours * 1e6:>9.3f} us{t_theirs * 1e6:>9.3f} us{t_ours / t_theirs:>8.2f}")


if __name__ == "__main__":
    main()
