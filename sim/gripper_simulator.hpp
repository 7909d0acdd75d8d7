#pragma once
// A simulated gripper server: the gripper's TCP commands and its UDP state stream.
#include <netinet/in.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "korvex/error.hpp"
#include "korvex/wire/gripper/protocol.hpp"

namespace korvex::sim {

struct GripperSimulatorOptions {
  std::string host = "127.0.0.1";
  std::uint16_t port = gripper::kDefaultPort;  //!< 0: ephemeral
};

//! Fingers move at the commanded speed between 0 and `kMaxWidth`; a grasp closes until the fingers
//! touch the simulated object (or each other) and holds when that width lies within the epsilons.
//! Every command runs beside the others: a new motion or a Stop aborts the running one.
class GripperSimulator {
 public:
  static constexpr double kMaxWidth = 0.08;     //!< finger opening at the end stop [m]
  static constexpr double kHomingSpeed = 0.4;  //!< [m/s]
  static constexpr std::uint16_t kDefaultTemperature = 31;  //!< [degrees Celsius]
  static constexpr std::size_t kMaxDatagram = 1024;          //!< largest `send_state` size [bytes]

  explicit GripperSimulator(GripperSimulatorOptions options = {});
  ~GripperSimulator();
  GripperSimulator(const GripperSimulator&) = delete;
  GripperSimulator& operator=(const GripperSimulator&) = delete;

  //! Binds and starts serving; fails when the address cannot be bound.
  Status start();
  //! Closes every socket and joins the threads; idempotent.
  void stop();
  bool running() const { return running_; }

  std::uint16_t port() const { return port_; }
  //! "host:port" for a client.
  std::string address() const;

  //! Current finger opening [m].
  double width() const;
  //! The maximum width the state reports: 0 until the first homing.
  double reported_max_width() const;
  bool is_grasped() const;
  //! True while a homing, move or grasp runs.
  bool busy() const;

  //! Width of the object between the fingers [m], or none.
  std::optional<double> object_width() const;
  //! InvalidArgument unless finite and within [0, kMaxWidth]; releases a held grasp.
  Status set_object_width(std::optional<double> width);
  std::uint16_t temperature() const;
  void set_temperature(std::uint16_t celsius);

  //! Replies to the named command carry this status (Connect: and version 3) and the command is not
  //! executed, until cleared with none. InvalidArgument for an unknown command name.
  Status force_status(std::string_view command, std::optional<std::uint16_t> status);
  //! Replies to the named command carry exactly this payload, until cleared with none.
  Status force_reply(std::string_view command, std::optional<std::vector<std::uint8_t>> payload);
  //! Stops and resumes the state stream.
  void pause_states(bool paused);
  //! Sends one state now to every connected client: `size` bytes (cut or padded with zeros), with the
  //! given message id or the current millisecond count.
  Status send_state(std::optional<std::uint32_t> message_id, std::size_t size = gripper::kStateSize);

  //! Requests received for the named command.
  Result<std::uint64_t> command_count(std::string_view command) const;
  //! Payload of the last request for the named command, or none.
  Result<std::optional<std::vector<std::uint8_t>>> last_request(std::string_view command) const;

 private:
  using Clock = std::chrono::steady_clock;
  struct Session;
  struct Action;
  struct Outgoing;

  void serve();
  void stream();
  void handle(std::uint64_t session, in_addr peer, std::uint16_t command, std::uint32_t id, std::span<const std::uint8_t> payload,
              std::vector<Outgoing>& out);
  void start_action(Action action, std::vector<Outgoing>& out);  // mutex held
  void abort_action(Clock::time_point now, std::vector<Outgoing>& out);  // mutex held
  void complete_due(Clock::time_point now, std::vector<Outgoing>& out);  // mutex held
  double width_at(Clock::time_point now) const;                          // mutex held
  std::uint32_t message_id_now() const;
  std::vector<std::uint8_t> state_bytes(std::uint32_t message_id, std::size_t size) const;  // mutex held
  void send_to_clients(std::span<const std::uint8_t> bytes);

  GripperSimulatorOptions options_;
  int listen_fd_ = -1;
  int udp_fd_ = -1;
  std::uint16_t port_ = 0;
  Clock::time_point started_{};
  std::atomic<bool> running_{false};
  std::atomic<bool> paused_{false};
  std::thread server_thread_;
  std::thread stream_thread_;

  mutable std::mutex mutex_;  // guards everything below
  double width_ = kMaxWidth;
  double reported_max_width_ = 0;
  bool grasped_ = false;
  std::optional<double> object_;
  std::uint16_t temperature_ = kDefaultTemperature;
  std::unique_ptr<Action> action_;
  std::vector<std::pair<std::uint64_t, sockaddr_in>> targets_;  // session, its state port
  std::array<std::optional<std::vector<std::uint8_t>>, 5> forced_{};
  std::array<std::uint64_t, 5> counts_{};
  std::array<std::optional<std::vector<std::uint8_t>>, 5> last_requests_{};
};

}  // namespace korvex::sim
