#pragma once
// The projector controller of the virtual head. It serves the text protocol
// on TCP and, optionally, on a pseudo-terminal (the serial variant), on a
// thread of its own. Commands end with "\r" ("\n" is ignored); replies are
// lines ended by "\r\n":
//   p<n>      show pattern n (0-12)                 -> ":OK" (":ERR" out of range)
//   r         stop any sequence, show pattern 0     -> no reply
//   z<n>      show patterns 0..n-1 (n 1-13), one per sequence step, a line
//             "seq <k>" after each, then            -> ":OK" (":ERR" out of range)
//   x<n>      echo                                  -> "<n>", ":OK"
//   iRRGGBB   light level per channel (hex)         -> ":OK" (":ERR" if malformed)
//   d         diagnostic                            -> "diag", then
//             "//diag.rgb: rr.gg.bb" (the light level; over TCP after a pause)
// anything else                                     -> ":ERR"
// Faults can be injected for tests: a delay before every reply, dropping the
// link at the next command (with or without a partial reply), garbled
// replies, no replies.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "sim/projector/projector_state.h"

namespace sim {

struct ProjectorOptions {
  bool tcp = true;
  std::string tcpAddress = "127.0.0.1";
  int tcpPort = 5073;  // 0 = an ephemeral port, see VirtualProjector::tcpPort()
  bool pty = false;
  int sequenceStepMs = 100;  // time each pattern of a "z" sequence is shown
  int diagPauseMs = 700;     // TCP: between the "diag" line and the diagnostic line
  std::string stateName;     // shared-memory mirror of the state; empty for none
};

struct ProjectorFaults {
  enum class Drop { None, AtCommand, AfterPartialReply };
  int replyDelayMs = 0;
  // One-shot: applies to the next command received, then returns to None.
  Drop drop = Drop::None;
  bool garble = false;  // replies reach the host with every byte but CR/LF altered
  bool mute = false;    // commands are carried out, nothing is answered
};

class VirtualProjector {
 public:
  VirtualProjector();
  ~VirtualProjector();
  VirtualProjector(const VirtualProjector&) = delete;
  VirtualProjector& operator=(const VirtualProjector&) = delete;

  // Opens the listening socket and/or the pseudo-terminal and starts serving.
  // False (with a reason in error) when either cannot be opened.
  bool start(const ProjectorOptions& options, std::string* error = nullptr);
  void stop();

  int tcpPort() const { return boundPort_; }
  // The terminal a serial client opens (e.g. /dev/pts/7); empty without --pty.
  const std::string& ptyPath() const { return ptyPath_; }

  ProjectorState& state() { return state_; }
  void setFaults(const ProjectorFaults& faults);
  // Replaces the diagnostic line by this text (sent as given, "\r\n" added);
  // empty restores the line made from the light level.
  void setDiagText(const std::string& text);
  // The bytes received so far, per link in arrival order (for tests): all
  // of them up to kMaxReceivedLog; beyond that the older ones are dropped.
  static constexpr std::size_t kMaxReceivedLog = 1 << 20;
  std::string received() const;
  void clearReceived();
  // Number of TCP connections accepted so far.
  int connectionsAccepted() const { return accepted_.load(); }

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
  ProjectorState state_;
  int boundPort_ = 0;
  std::string ptyPath_;
  std::atomic<int> accepted_{0};
};

}  // namespace sim
