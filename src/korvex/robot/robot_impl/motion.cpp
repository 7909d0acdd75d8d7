#include "korvex/robot/robot_impl/motion.hpp"

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "korvex/network/tcp.hpp"
#include "korvex/network/udp.hpp"
#include "korvex/robot/connection.hpp"
#include "korvex/robot/logger.hpp"
#include "korvex/robot/robot_impl/exception.hpp"
#include "korvex/wire/robot/receive.hpp"

namespace korvex::robot_impl {
namespace {

constexpr std::string_view kBusy =
    "libkorvex robot: Cannot perform this operation while another control or read operation is running.";

bool generator_running(std::uint8_t state_mode) { return state_mode >= 1 && state_mode <= 4; }
bool controller_running(std::uint8_t state_mode) { return state_mode == 2; }

// A ControlException raised outside a running motion: no log, no flags, no move status.
Error plain_control_error(std::string message) {
  ControlException e;
  e.message = std::move(message);
  return Error::control(std::move(e));
}

void print_line(std::string_view message) {
  std::string line(message);
  line += '\n';
  std::fputs(line.c_str(), stderr);
}

Error unexpected_motion_started() {
  return Error::protocol("libkorvex: Move received unexpected motion started message.");
}

RobotCommandLog logged(const CycleCommands& c) {
  RobotCommandLog out{};
  if (c.has_motion) {
    out.q_c = c.motion.q_c;
    out.dq_c = c.motion.dq_c;
    out.O_T_EE_c = c.motion.O_T_EE_c;
    out.O_dP_EE_c = c.motion.O_dP_EE_c;
    out.elbow_c = c.motion.elbow_c;
  }
  if (c.has_control) out.tau_J_d = c.control.tau_J_d;
  return out;
}

// After start_motion: cycles until the step reports the motion finished or an error ends it.
// `step` fills the cycle's shaped commands and returns whether the callback finished the motion.
template <class Step>
Status run_cycles(MotionLoop& loop, Step& step) {
  auto state = loop.update(nullptr);
  if (!state) return fail(std::move(state.error()));
  if (auto running = loop.check_motion(*state); !running) return running;
  std::uint64_t previous_time = state->time;
  for (;;) {
    const std::uint64_t elapsed = state->time > previous_time ? state->time - previous_time : 0;
    previous_time = state->time;
    CycleCommands commands;
    auto finished = step(loop.shaper(), *state, elapsed, commands);
    if (!finished) return fail(std::move(finished.error()));
    if (*finished) return loop.finish_motion(commands);
    state = loop.update(&commands);
    if (!state) return fail(std::move(state.error()));
    if (auto running = loop.check_motion(*state); !running) return running;
  }
}

template <class Step>
Status run_motion(Connection& connection, ControllerMode controller, MotionGeneratorMode generator,
                  double cutoff_frequency, bool limit_rate, Step step) {
  std::unique_lock guard(connection.busy_guard(), std::try_to_lock);
  if (!guard.owns_lock()) return fail(Error::invalid_operation(std::string(kBusy)));
  MotionLoop loop(connection, cutoff_frequency, limit_rate);
  if (auto id = loop.start_motion(controller, generator); !id) return fail(std::move(id.error()));
  Status result = run_cycles(loop, step);
  if (!result) (void)loop.cancel_motion();
  return result;
}

}  // namespace

MotionLoop::MotionLoop(Connection& connection, double cutoff_frequency, bool limit_rate)
    : connection_(connection),
      version_(connection.kxp_version()),
      shaper_(version_, connection.velocity_limits(), cutoff_frequency, limit_rate) {}

bool MotionLoop::modes_as_expected() {
  StateBookkeeping& b = connection_.bookkeeping();
  std::lock_guard lock(b.mutex);
  return b.motion_generator_mode == b.expected_motion_generator_mode &&
         b.controller_mode == b.expected_controller_mode;
}

bool MotionLoop::motion_running() {
  StateBookkeeping& b = connection_.bookkeeping();
  std::lock_guard lock(b.mutex);
  return generator_running(b.motion_generator_mode) || controller_running(b.controller_mode);
}

void MotionLoop::reset_expected_modes() {
  StateBookkeeping& b = connection_.bookkeeping();
  std::lock_guard lock(b.mutex);
  b.expected_motion_generator_mode = 0;
  b.expected_controller_mode = 3;
}

Status MotionLoop::judge_start_reply(std::span<const std::uint8_t> reply, bool first) {
  auto status = parse_move_reply(reply, version_);
  if (!status) return fail(std::move(status.error()));
  const RobotMode mode = connection_.bookkeeping().last_robot_mode();
  if (*status == MoveStatus::MotionStarted) {
    StateBookkeeping& b = connection_.bookkeeping();
    std::lock_guard lock(b.mutex);
    if (generator_running(b.motion_generator_mode)) return fail(unexpected_motion_started());
    return {};
  }
  if (*status == MoveStatus::Success) return {};
  if (first) return check_move_status(*status, mode);
  return fail(plain_control_error(move_status_message(*status, mode)));
}

Result<std::uint32_t> MotionLoop::start_motion(ControllerMode controller, MotionGeneratorMode generator) {
  auto request = move_request(version_, controller, generator, kMoveDeviation, kMoveDeviation);
  if (!request) return fail(std::move(request.error()));
  {
    StateBookkeeping& b = connection_.bookkeeping();
    std::lock_guard lock(b.mutex);
    if (generator_running(b.motion_generator_mode) || controller_running(b.controller_mode))
      return fail(plain_control_error("libkorvex robot: Attempted to start multiple motions!"));
    b.expected_motion_generator_mode = static_cast<std::uint8_t>(static_cast<std::uint32_t>(generator) + 1);
    b.expected_controller_mode = static_cast<std::uint8_t>(controller);
  }

  net::TcpChannel& tcp = connection_.tcp();
  auto wire = command_id(Command::Move, version_);
  if (!wire) return fail(std::move(wire.error()));
  auto id = tcp.send(*wire, *request);
  if (!id) return fail(std::move(id.error()));
  auto reply = tcp.receive_reply(*id);
  if (!reply) return fail(std::move(reply.error()));
  if (auto ok = judge_start_reply(*reply, true); !ok) return fail(std::move(ok.error()));
  move_id_ = *id;

  for (;;) {
    if (modes_as_expected()) break;
    auto second = tcp.try_receive_reply(move_id_);
    if (!second) return fail(std::move(second.error()));
    if (*second) {
      if (auto ok = judge_start_reply(**second, false); !ok) return fail(std::move(ok.error()));
      break;
    }
    if (auto state = update(nullptr); !state) return fail(std::move(state.error()));
  }
  (void)connection_.log().take();  // the log holds only cycles of this motion
  return move_id_;
}

Status MotionLoop::send(const CycleCommands& commands) {
  std::uint8_t expected_generator, expected_controller;
  RobotCommand command{};
  {
    StateBookkeeping& b = connection_.bookkeeping();
    std::lock_guard lock(b.mutex);
    expected_generator = b.expected_motion_generator_mode;
    expected_controller = b.expected_controller_mode;
    command.message_id = b.last_message_id;
  }
  const bool generator = generator_running(expected_generator);
  const bool controller = controller_running(expected_controller);
  if (commands.has_motion && !generator)
    return fail(plain_control_error("libkorvex robot: Trying to send motion command, but no motion generator running!"));
  if (commands.has_control && !controller)
    return fail(plain_control_error("libkorvex robot: Trying to send control command, but no controller running!"));
  if ((generator && !commands.has_motion) || (controller && !commands.has_control))
    return fail(plain_control_error("libkorvex robot: Trying to send partial robot command!"));
  if (commands.has_motion) command.motion = commands.motion;
  if (commands.has_control) command.control = commands.control;
  return connection_.udp().send(encode_command(command, version_, buffer_));
}

Result<RobotState> MotionLoop::update(const CycleCommands* commands) {
  if (auto open = connection_.tcp().check_open(); !open) return fail(std::move(open.error()));
  RobotCommandLog sent{};
  if (commands && (commands->has_motion || commands->has_control)) {
    if (auto ok = send(*commands); !ok) return fail(std::move(ok.error()));
    sent = logged(*commands);
  }
  auto state = receive_newest_state(connection_.udp(), connection_.tcp(), connection_.bookkeeping(), version_);
  if (!state) return state;
  connection_.log().record(sent, *state);
  return state;
}

Status MotionLoop::check_motion(const RobotState& state) {
  if (state.robot_mode == RobotMode::Move && modes_as_expected()) return {};
  auto reply = connection_.tcp().receive_reply(move_id_);
  if (!reply) return fail(std::move(reply.error()));
  auto status = parse_move_reply(*reply, version_);
  if (!status) return fail(std::move(status.error()));
  switch (*status) {
    case MoveStatus::Success: return fail(Error::protocol("Unexpected reply to a Move command"));
    case MoveStatus::MotionStarted: return fail(unexpected_motion_started());
    default: break;
  }
  const RobotMode mode = connection_.bookkeeping().last_robot_mode();
  return fail(Error::control(make_control_exception(connection_.log(), move_status_message(*status, mode), *status,
                                                    state.last_motion_errors)));
}

Status MotionLoop::finish_motion(CycleCommands commands) {
  if (!motion_running()) {
    reset_expected_modes();
    return {};
  }
  if (commands.has_motion) {
    commands.motion.motion_generation_finished = true;
  } else if (version_ == kLegacyVersion) {
    constexpr std::string_view text = "libkorvex robot: No motion generator command given!";
    print_line(text);
    return fail(plain_control_error(std::string(text)));
  } else if (!commands.has_control) {
    constexpr std::string_view text = "libkorvex robot: No motion generator or control command given!";
    print_line(text);
    return fail(plain_control_error(std::string(text)));
  } else {
    commands.control.torque_command_finished = true;
  }

  Errors last_motion_errors{};
  while (motion_running()) {
    auto state = update(&commands);
    if (!state) return fail(std::move(state.error()));
    last_motion_errors = state->last_motion_errors;
  }

  auto reply = connection_.tcp().receive_reply(move_id_);
  if (!reply) return fail(std::move(reply.error()));
  auto status = parse_move_reply(*reply, version_);
  if (!status) return fail(std::move(status.error()));
  switch (*status) {
    case MoveStatus::Success: reset_expected_modes(); return {};
    case MoveStatus::MotionStarted: return fail(unexpected_motion_started());
    case MoveStatus::ReflexAborted:
      return fail(Error::control(make_control_exception(connection_.log(),
                                                        "Motion finished commanded, but the robot is still moving!",
                                                        *status, last_motion_errors)));
    default: break;
  }
  const RobotMode mode = connection_.bookkeeping().last_robot_mode();
  return fail(Error::control(
      make_control_exception(connection_.log(), move_status_message(*status, mode), *status, last_motion_errors)));
}

Status MotionLoop::cancel_motion() {
  net::TcpChannel& tcp = connection_.tcp();
  if (!tcp.check_open()) {
    print_line("libkorvex robot: TCP connection is closed. Cannot cancel motion.");
    return {};
  }
  auto wire = command_id(Command::StopMove, version_);
  if (!wire) return fail(std::move(wire.error()));
  auto id = tcp.send(*wire, {});
  if (!id) return fail(std::move(id.error()));
  auto reply = tcp.receive_reply(*id);
  if (!reply) return fail(std::move(reply.error()));
  if (auto stopped = check_reply(Command::StopMove, *reply, version_, connection_.bookkeeping().last_robot_mode());
      !stopped) {
    if (stopped.error().kind() == ErrorKind::Command) return fail(plain_control_error(stopped.error().message()));
    return stopped;
  }
  do {
    if (auto state = update(nullptr); !state) return fail(std::move(state.error()));
  } while (motion_running());
  (void)tcp.try_receive_reply(move_id_);  // the final Move reply, if it came, is of no interest now
  reset_expected_modes();
  return {};
}

Status control_torques(Connection& connection, TorqueCallback callback, bool limit_rate, double cutoff_frequency) {
  const bool legacy = connection.kxp_version() == kLegacyVersion;
  // Version 5 has no "no motion generator" mode: a zero joint-velocity generator runs alongside.
  const MotionGeneratorMode generator = legacy ? MotionGeneratorMode::JointVelocity : MotionGeneratorMode::None;
  auto step = [&](CommandShaper& shaper, const RobotState& state, std::uint64_t elapsed,
                  CycleCommands& out) -> Result<bool> {
    const Torques torques = callback(state, elapsed);
    auto control = shaper.shape_torques(torques, state);
    if (!control) return fail(std::move(control.error()));
    out.control = *control;
    out.has_control = true;
    if (legacy) {
      auto motion = shaper.shape_joint_velocities(JointVelocities{}, state);
      if (!motion) return fail(std::move(motion.error()));
      out.motion = *motion;
      out.has_motion = true;
    }
    return torques.motion_finished;
  };
  return run_motion(connection, ControllerMode::ExternalController, generator, cutoff_frequency, limit_rate, step);
}

Status control_joint_positions(Connection& connection, ControllerMode controller, JointPositionCallback callback,
                               bool limit_rate, double cutoff_frequency) {
  auto step = [&](CommandShaper& shaper, const RobotState& state, std::uint64_t elapsed,
                  CycleCommands& out) -> Result<bool> {
    const JointPositions positions = callback(state, elapsed);
    auto motion = shaper.shape_joint_positions(positions, state);
    if (!motion) return fail(std::move(motion.error()));
    out.motion = *motion;
    out.has_motion = true;
    return positions.motion_finished;
  };
  return run_motion(connection, controller, MotionGeneratorMode::JointPosition, cutoff_frequency, limit_rate, step);
}

Status control_cartesian_pose(Connection& connection, ControllerMode controller, CartesianPoseCallback callback,
                              bool limit_rate, double cutoff_frequency) {
  auto step = [&](CommandShaper& shaper, const RobotState& state, std::uint64_t elapsed,
                  CycleCommands& out) -> Result<bool> {
    const CartesianPose pose = callback(state, elapsed);
    auto motion = shaper.shape_cartesian_pose(pose, state);
    if (!motion) return fail(std::move(motion.error()));
    out.motion = *motion;
    out.has_motion = true;
    return pose.motion_finished;
  };
  return run_motion(connection, controller, MotionGeneratorMode::CartesianPosition, cutoff_frequency, limit_rate,
                    step);
}

}  // namespace korvex::robot_impl
