#include "korvex/wire/robot/protocol.hpp"

#include "korvex/wire/bytes.hpp"

#include <cstring>

#include "korvex/format.hpp"

namespace korvex {
namespace {

constexpr std::int32_t kAbsent = -1;

struct CommandInfo {
  std::string_view name;
  std::int32_t id_v5;
  std::int32_t id_v10;
};

constexpr std::array<CommandInfo, 14> kCommands = {{
    {"Connect", 0, 0},
    {"Move", 1, 1},
    {"Stop Move", 2, 2},
    {"Get Cartesian Limit", 3, kAbsent},
    {"Set Collision Behavior", 4, 3},
    {"Set Joint Impedance", 5, 4},
    {"Set Cartesian Impedance", 6, 5},
    {"Set Guiding Mode", 7, 6},
    {"Set EE to K", 8, 7},
    {"Set NE to EE", 9, 8},
    {"Set Load", 10, 9},
    {"Set Filters", 11, kAbsent},
    {"Automatic Error Recovery", 12, 10},
    {"Get Robot Model", kAbsent, 11},
}};

// Every version but the legacy one uses the current tables.
bool legacy(std::uint16_t version) { return version == kLegacyVersion; }

constexpr std::size_t kHeader = net::header_size(net::HeaderVariant::Long);

using namespace korvex::wire;

template <std::size_t N>
std::uint8_t* put_all(std::uint8_t* p, const std::array<double, N>& xs) {
  for (double x : xs) {
    put_f64(p, x);
    p += 8;
  }
  return p;
}

Error size_error() { return Error::protocol("libkorvex: Incorrect TCP message size."); }

Error unexpected(std::string_view name) {
  return Error::protocol("libkorvex: Unexpected response while handling " + std::string(name) + " command!");
}

// What a reply status means; the texts differ per command only by name.
enum class Outcome : std::uint8_t {
  Success,
  NotPossible,
  InvalidArgument,
  SafetyRejected,          // names the command
  SafetyRejectedTrailing,  // Set commands: ends with a space
  SafetyRejectedMove,      // names "Move" whatever the command
  UserStop,
  ReflexAborted,
  ManualRecovery,
  Aborted,
};

using O = Outcome;
constexpr Outcome kStopMoveV10[] = {O::Success, O::NotPossible, O::SafetyRejectedMove, O::UserStop,
                                    O::ReflexAborted, O::NotPossible};
constexpr Outcome kStopMoveV5[] = {O::Success, O::NotPossible, O::UserStop, O::ReflexAborted, O::NotPossible};
constexpr Outcome kSetV10[] = {O::Success, O::NotPossible, O::InvalidArgument, O::SafetyRejectedTrailing};
constexpr Outcome kSetV5[] = {O::Success, O::NotPossible, O::InvalidArgument};
constexpr Outcome kRecoveryV10[] = {O::Success,       O::NotPossible, O::SafetyRejectedMove, O::ManualRecovery,
                                    O::ReflexAborted, O::UserStop,    O::Aborted};
constexpr Outcome kRecoveryV5[] = {O::Success,       O::NotPossible, O::ManualRecovery,
                                   O::ReflexAborted, O::UserStop,    O::Aborted};
constexpr Outcome kRobotModelV10[] = {O::Success, O::NotPossible, O::SafetyRejected};

std::span<const Outcome> outcomes(Command command, bool v5) {
  if (is_set_command(command)) return v5 ? std::span<const Outcome>(kSetV5) : kSetV10;
  switch (command) {
    case Command::StopMove: return v5 ? std::span<const Outcome>(kStopMoveV5) : kStopMoveV10;
    case Command::AutomaticErrorRecovery: return v5 ? std::span<const Outcome>(kRecoveryV5) : kRecoveryV10;
    case Command::GetRobotModel: return v5 ? std::span<const Outcome>() : kRobotModelV10;
    default: return {};
  }
}

constexpr std::string_view kSafety =
    " command rejected due to activated safety function! Please disable all safety functions.";

std::string outcome_text(Outcome outcome, std::string_view name, RobotMode mode) {
  std::string out = "libkorvex: ";
  switch (outcome) {
    case O::Success: return {};
    case O::NotPossible: return out.append(name).append(mode_text(mode));
    case O::InvalidArgument: return out.append(name).append(" command rejected: invalid argument!");
    case O::SafetyRejected: return out.append(name).append(kSafety);
    case O::SafetyRejectedTrailing: return out.append(name).append(kSafety).append(" ");
    case O::SafetyRejectedMove: return out.append("Move").append(kSafety);
    case O::UserStop: return out.append(name).append(" command aborted: User Stop pressed!");
    case O::ReflexAborted: return out.append(name).append(" command aborted: motion aborted by reflex!");
    case O::ManualRecovery:
      return out.append(name).append(" command rejected: manual error recovery required!");
    case O::Aborted: return out.append(name).append(" command aborted!");
  }
  return out;
}

// Move wire values of version 5 lack the two safety statuses.
constexpr MoveStatus kMoveV5[] = {
    MoveStatus::Success,
    MoveStatus::MotionStarted,
    MoveStatus::Preempted,
    MoveStatus::CommandNotPossibleRejected,
    MoveStatus::StartAtSingularPoseRejected,
    MoveStatus::InvalidArgumentRejected,
    MoveStatus::ReflexAborted,
    MoveStatus::EmergencyAborted,
    MoveStatus::InputErrorAborted,
    MoveStatus::Aborted,
};
constexpr std::size_t kMoveV10Count = 12;

}  // namespace

bool is_set_command(Command command) {
  switch (command) {
    case Command::SetCollisionBehavior:
    case Command::SetJointImpedance:
    case Command::SetCartesianImpedance:
    case Command::SetGuidingMode:
    case Command::SetEeToK:
    case Command::SetNeToEe:
    case Command::SetLoad:
    case Command::SetFilters:
      return true;
    default:
      return false;
  }
}

std::string_view command_name(Command command) { return kCommands[static_cast<std::size_t>(command)].name; }

Result<std::uint32_t> command_id(Command command, std::uint16_t version) {
  const CommandInfo& info = kCommands[static_cast<std::size_t>(command)];
  const std::int32_t id = legacy(version) ? info.id_v5 : info.id_v10;
  if (id == kAbsent)
    return fail(Error::invalid_operation("libkorvex: " + std::string(info.name) + " is not available on KXP version " +
                                         fmt::number(version) + "."));
  return static_cast<std::uint32_t>(id);
}

std::array<std::uint8_t, 4> connect_request(std::uint16_t version, std::uint16_t udp_port) {
  std::array<std::uint8_t, 4> out{};
  put_u16(out.data(), version);
  put_u16(out.data() + 2, udp_port);
  return out;
}

Result<Payload> move_request(std::uint16_t version, ControllerMode controller, MotionGeneratorMode generator,
                             const Deviation& max_path_deviation, const Deviation& max_goal_pose_deviation) {
  if (legacy(version) && generator == MotionGeneratorMode::None)
    return fail(Error::invalid_argument("libkorvex: Move: motion generator mode None is not available on KXP version 5."));
  Payload out(legacy(version) ? 56 : 113, 0);  // version 10: 57 reserved zero bytes after the deviations
  std::uint8_t* p = out.data();
  put_u32(p, static_cast<std::uint32_t>(controller));
  put_u32(p + 4, static_cast<std::uint32_t>(generator));
  p += 8;
  for (const Deviation* d : {&max_path_deviation, &max_goal_pose_deviation}) {
    put_f64(p, d->translation);
    put_f64(p + 8, d->rotation);
    put_f64(p + 16, d->elbow);
    p += 24;
  }
  return out;
}

Payload set_collision_behavior_request(const CollisionThresholds& t) {
  Payload out(52 * 8);
  std::uint8_t* p = out.data();
  p = put_all(p, t.lower_torque_acceleration);
  p = put_all(p, t.upper_torque_acceleration);
  p = put_all(p, t.lower_torque_nominal);
  p = put_all(p, t.upper_torque_nominal);
  p = put_all(p, t.lower_force_acceleration);
  p = put_all(p, t.upper_force_acceleration);
  p = put_all(p, t.lower_force_nominal);
  put_all(p, t.upper_force_nominal);
  return out;
}

Payload set_joint_impedance_request(const Vec7& stiffness) {
  Payload out(7 * 8);
  put_all(out.data(), stiffness);
  return out;
}

Payload set_cartesian_impedance_request(const Vec6& stiffness) {
  Payload out(6 * 8);
  put_all(out.data(), stiffness);
  return out;
}

Result<std::uint16_t> parse_connect_reply(std::span<const std::uint8_t> message, net::HeaderVariant variant,
                                          std::uint16_t requested_version) {
  const std::size_t header = net::header_size(variant);
  const bool wide_status = variant == net::HeaderVariant::Short;
  const std::size_t status_size = wide_status ? 2 : 1;
  if (message.size() < header + status_size + 2) return fail(size_error());
  const std::uint8_t* p = message.data() + header;
  const std::uint16_t status = wide_status ? get_u16(p) : p[0];
  const std::uint16_t version = get_u16(p + status_size);
  switch (status) {
    case 0: return version;
    case 1: return fail(Error::incompatible_version(version, requested_version));
    default: return fail(Error::protocol("libkorvex: Protocol error during connection attempt"));
  }
}

Status check_connect_version(std::uint16_t server_version, std::uint16_t requested_version) {
  if (server_version != requested_version)
    return fail(Error::incompatible_version(server_version, requested_version));
  return {};
}

std::string mode_text(RobotMode mode) {
  std::string out = " command rejected: command not possible in the current mode (\"";
  out += robot_mode_display(mode);
  out += "\")!";
  if (mode == RobotMode::Other) out += " Did you open the brakes?";
  return out;
}

Status check_reply(Command command, std::span<const std::uint8_t> message, std::uint16_t version,
                   RobotMode mode) {
  const std::string_view name = command_name(command);
  if (auto id = command_id(command, version); !id) return fail(std::move(id.error()));
  const auto table = outcomes(command, legacy(version));
  if (table.empty())  // Connect and Move have their own parsers; Get Cartesian Limit is never sent
    return fail(Error::invalid_operation("libkorvex: " + std::string(name) + " replies are not handled here."));
  if (message.size() <= kHeader) return fail(size_error());
  const std::uint8_t status = message[kHeader];
  if (status >= table.size()) return fail(unexpected(name));
  const Outcome outcome = table[status];
  if (outcome == O::Success) return {};
  return fail(Error::command(outcome_text(outcome, name, mode)));
}

Result<MoveStatus> parse_move_reply(std::span<const std::uint8_t> message, std::uint16_t version) {
  if (message.size() <= kHeader) return fail(size_error());
  const std::uint8_t status = message[kHeader];
  if (legacy(version)) {
    if (status >= std::size(kMoveV5)) return fail(unexpected("Move"));
    return kMoveV5[status];
  }
  if (status >= kMoveV10Count) return fail(unexpected("Move"));
  return static_cast<MoveStatus>(status);
}

std::string move_status_message(MoveStatus status, RobotMode mode) {
  std::string_view text;
  switch (status) {
    case MoveStatus::Success:
    case MoveStatus::MotionStarted: return {};
    case MoveStatus::Preempted: text = " command preempted!"; break;
    case MoveStatus::PreemptedDueToActivatedSafetyFunctions:
      text = " command preempted due to activated safety function! Please disable all safety functions.";
      break;
    case MoveStatus::CommandRejectedDueToActivatedSafetyFunctions: text = kSafety; break;
    case MoveStatus::CommandNotPossibleRejected: return "libkorvex: Move" + mode_text(mode);
    case MoveStatus::StartAtSingularPoseRejected: text = " command rejected: cannot start at singular pose!"; break;
    case MoveStatus::InvalidArgumentRejected:
      text = " command rejected: maximum path deviation out of range!";
      break;
    case MoveStatus::ReflexAborted: text = " command aborted: motion aborted by reflex!"; break;
    case MoveStatus::EmergencyAborted: text = " command aborted: User Stop pressed!"; break;
    case MoveStatus::InputErrorAborted: text = " command aborted: invalid input provided!"; break;
    case MoveStatus::Aborted: text = " command aborted!"; break;
  }
  return "libkorvex: Move" + std::string(text);
}

Status check_move_status(MoveStatus status, RobotMode mode) {
  if (status == MoveStatus::Success || status == MoveStatus::MotionStarted) return {};
  return fail(Error::command(move_status_message(status, mode)));
}

Result<std::string> parse_robot_model_reply(std::span<const std::uint8_t> message, std::uint16_t version,
                                            RobotMode mode) {
  if (auto status = check_reply(Command::GetRobotModel, message, version, mode); !status)
    return fail(std::move(status.error()));
  return utf8_lossy(message.subspan(kHeader + 1));
}

std::string utf8_lossy(std::span<const std::uint8_t> bytes) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(bytes.size());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    const std::uint8_t b = bytes[i];
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte (excludes overlongs and surrogates).
    std::size_t len = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    std::size_t good = 1;  // bytes of the longest valid prefix
    if (len > 0) {
      while (good < len && i + good < n) {
        const std::uint8_t c = bytes[i + good];
        const bool ok = good == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
        if (!ok) break;
        ++good;
      }
    }
    if (len > 0 && good == len) {
      out.append(reinterpret_cast<const char*>(bytes.data() + i), len);
    } else {
      out.append(kReplacement);
    }
    i += good;
  }
  return out;
}

}  // namespace korvex
