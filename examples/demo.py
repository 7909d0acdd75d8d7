"""A tour of korvex against the simulated arm: connect, read a state, configure, and see a refused command."""
import numpy as np

import korvex
import korvex.sim


def main():
    with korvex.sim.ArmSimulator("zk2") as sim:
        print(f"simulated ZK2 arm listening on {sim.address}")

        # "ignore": these machines have no realtime kernel; a real arm wants "enforce".
        robot = korvex.Robot(sim.address, realtime="ignore")
        print(robot)

        state = robot.read_once()
        print("robot mode:", state.robot_mode)
        print("q [rad]:", np.round(state.q, 4))
        print("end effector position [m]:", np.round(state.O_T_EE[:3, 3], 4))

        robot.set_collision_behavior_simple([20.0] * 7, [40.0] * 7, [20.0] * 6, [40.0] * 6)
        robot.set_joint_impedance([3000, 3000, 3000, 2500, 2500, 2000, 2000])
        robot.set_cartesian_impedance([3000, 3000, 3000, 300, 300, 300])
        print("impedances and collision thresholds set")

        # An arm with closed brakes refuses configuration; the library says why.
        sim.brakes_open = False
        robot.read_once()
        try:
            robot.set_joint_impedance([3000] * 7)
        except korvex.KorvexError as e:
            print(f"refused ({e.kind}): {e}")
        sim.brakes_open = True


if __name__ == "__main__":
    main()
