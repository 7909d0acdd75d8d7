#pragma once
// A simulated arm controller serving the command protocol and the 1 kHz state stream.
#include <array>
#include <atomic>
#include <ctime>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "korvex/error.hpp"
#include "korvex/wire/robot/state.hpp"
#include "sim/arm_motion.hpp"
#include "sim/arm_physics.hpp"

namespace korvex::sim {

enum class ArmModel : std::uint8_t {
  ZK2,  //!< protocol version 10
  ZK1,  //!< protocol version 5
};

//! "zk2" / "zk1"; InvalidArgument otherwise.
Result<ArmModel> parse_arm_model(std::string_view name);

enum class Pacing : std::uint8_t {
  Realtime,  //!< a state every millisecond of wall-clock time, as an arm does
  Lockstep,  //!< during a motion, the next state as soon as the command for the last one arrived
};

//! "realtime" / "lockstep"; InvalidArgument otherwise.
Result<Pacing> parse_pacing(std::string_view name);

struct ArmSimulatorOptions {
  ArmModel model = ArmModel::ZK2;
  std::string host = "127.0.0.1";
  std::uint16_t port = 0;  //!< 0: ephemeral
  bool brakes_open = true;
  Pacing pacing = Pacing::Realtime;
  //! Lockstep: how long to wait for a command before the arm moves on without it [ms].
  int lockstep_deadline_ms = 20;
};

class ArmSimulator {
 public:
  explicit ArmSimulator(ArmSimulatorOptions options = {});
  ~ArmSimulator();
  ArmSimulator(const ArmSimulator&) = delete;
  ArmSimulator& operator=(const ArmSimulator&) = delete;

  //! Binds and starts serving; fails when the address cannot be bound.
  Status start();
  //! Closes every socket and joins the threads; idempotent.
  void stop();
  bool running() const { return running_; }

  std::uint16_t port() const { return port_; }
  //! "host:port" for a client.
  std::string address() const;
  std::uint16_t version() const { return options_.model == ArmModel::ZK2 ? 10 : 5; }
  ArmModel model() const { return options_.model; }

  //! Brakes closed keep the arm in mode Other.
  void set_brakes_open(bool open);
  bool brakes_open() const;
  RobotMode robot_mode() const;
  //! Puts the arm into a mode (a reflex, the user stop, ...).
  void set_robot_mode(RobotMode mode);

  //! Replies to the named command carry this wire status until cleared with nullopt.
  void force_status(std::string_view command_name, std::optional<std::uint8_t> wire_status);
  //! Stops and resumes the state stream.
  void pause_states(bool paused);
  //! Requests received for the named command (e.g. "Set Joint Impedance", "Connect").
  std::uint64_t command_count(std::string_view command_name) const;
  //! The arm's model description: served by Get Robot Model on ZK2, the library's built-in one on ZK1.
  const std::string& description() const { return description_; }

  //! Last state as sent (for tests and tools).
  RobotState last_state() const;
  //! The arm's configuration (tests and tools).
  Vec7 joint_positions() const;
  void set_joint_positions(const Vec7& q);
  bool motion_running() const;

  // Fault injection.
  //! Skips sending the next `count` states (the arm keeps moving).
  void drop_states(int count);
  //! Holds back the next state by `ms` milliseconds.
  void delay_next_state(int ms);
  //! Environment torques and end-effector wrench, applied until `duration_ms` have passed (or for good
  //! with a negative duration; zero values release).
  void push(const Vec7& tau, const Vec6& wrench, int duration_ms);
  //! Ends a running motion with a reflex carrying these flags (names of `Errors`), or sets mode Reflex.
  void trigger_reflex(std::span<const std::string_view> flags);
  //! The user stop button: ends a motion with EmergencyAborted; mode User stopped until released.
  void press_user_stop();
  void release_user_stop();
  //! Hangs up on the connected client.
  void close_connection();

  // Measurements.
  //! Records, for every command, the time from sending its state to the command's arrival (kernel
  //! receive timestamp) [us]; keeps at most `capacity` values.
  void record_round_trips(std::size_t capacity);
  std::vector<double> round_trips() const;
  struct MotionStats {
    std::uint64_t cycles = 0;    //!< milliseconds the motion ran
    std::uint64_t commands = 0;  //!< of them with a command in time
  };
  //! Of the last motion that ended.
  MotionStats last_motion_stats() const;

 private:
  struct Session;
  void serve();
  void stream();
  void tick(std::uint64_t message_id, const RobotCommand* command, std::vector<std::uint8_t>& move_reply);
  void end_motion(MoveStatus status, std::vector<std::uint8_t>& move_reply);
  void send_locked_out(std::span<const std::uint8_t> bytes);
  void fill_measured(RobotState& s) const;
  Payload payload() const;
  void handle(Session& session, std::uint32_t wire_command, std::uint32_t id, std::span<const std::uint8_t> payload);
  void reply(Session& session, std::uint32_t wire_command, std::uint32_t id, std::span<const std::uint8_t> payload);
  std::optional<std::uint8_t> forced(std::string_view name) const;
  std::uint8_t move_wire_status(MoveStatus status) const;

  ArmSimulatorOptions options_;
  std::string description_;
  int listen_fd_ = -1;
  int udp_fd_ = -1;
  std::uint16_t port_ = 0;
  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  std::thread server_thread_;
  std::thread stream_thread_;

  mutable std::mutex mutex_;  // guards everything below
  RobotState state_{};
  bool brakes_open_ = true;
  bool streaming_ = false;
  std::uint32_t udp_target_ip_ = 0;  // network order
  std::uint16_t udp_target_port_ = 0;
  std::map<std::string, std::uint8_t, std::less<>> forced_;
  std::map<std::string, std::uint64_t, std::less<>> counts_;
  int client_fd_ = -1;
  std::mutex send_mutex_;  // serialises writes to the client between the two threads
  ArmPhysics physics_;
  ArmSettings settings_;
  std::optional<ArmMotion> motion_;
  StateModes idle_modes_{0, 0, 0};
  Disturbance push_{};
  std::int64_t push_ticks_ = 0;  // <0: for good
  int drop_ = 0;
  int delay_ms_ = 0;
  bool user_stop_ = false;
  Errors pending_reflex_{};
  bool reflex_requested_ = false;
  std::uint64_t last_sent_id_ = 0;
  std::array<timespec, 64> sent_at_{};  // by message id modulo 64
  std::vector<double> round_trips_;
  std::size_t round_trip_capacity_ = 0;
  MotionStats stats_{}, last_stats_{};
};

}  // namespace korvex::sim
