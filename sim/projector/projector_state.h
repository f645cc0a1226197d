#pragma once
// What the virtual projector shows right now: the pattern of the 13-pattern
// set (0 black, 1 white, 2-8 Gray-code bits, 9-12 fringes) and the light
// level per channel. Readers in the same process (the renderer, the virtual
// GigE cameras) take snapshots or register a listener that is called each
// time a pattern is shown (the hardware-trigger pulse). Readers in other
// processes (simulated USB cameras inside a plug-in) open the shared-memory
// mirror by name with ProjectorStateReader and poll its generation.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace sim {

inline constexpr int kPatternCount = 13;

struct ProjectorSnapshot {
  int pattern = 0;
  std::uint8_t red = 255;
  std::uint8_t green = 255;
  std::uint8_t blue = 255;
  // Counts the patterns shown so far; a change means "a new pattern is up".
  std::uint64_t generation = 0;
};

class ProjectorState {
 public:
  using Listener = std::function<void(const ProjectorSnapshot&)>;

  ProjectorState();
  ~ProjectorState();
  ProjectorState(const ProjectorState&) = delete;
  ProjectorState& operator=(const ProjectorState&) = delete;

  // Mirrors every change into POSIX shared memory "/<name>" (mode 0600),
  // removed again when the state is destroyed. False when it cannot be made.
  bool mirrorTo(const std::string& name);

  ProjectorSnapshot snapshot() const;
  void showPattern(int pattern);
  void setLight(std::uint8_t red, std::uint8_t green, std::uint8_t blue);

  // Listeners run on the projector's thread, after the change; keep them short.
  int addListener(Listener listener);
  void removeListener(int id);

 private:
  struct Mirror;
  void publish(const ProjectorSnapshot& s, bool patternShown);

  mutable std::mutex mutex_;
  ProjectorSnapshot state_;
  std::map<int, Listener> listeners_;
  int nextListener_ = 1;
  std::unique_ptr<Mirror> mirror_;
};

// Reads the shared-memory mirror of a projector in another process.
class ProjectorStateReader {
 public:
  // Null when no projector publishes under that name.
  static std::unique_ptr<ProjectorStateReader> open(const std::string& name);
  ~ProjectorStateReader();
  ProjectorStateReader(const ProjectorStateReader&) = delete;
  ProjectorStateReader& operator=(const ProjectorStateReader&) = delete;
  // A consistent snapshot; false when the writer is gone mid-update for long.
  bool read(ProjectorSnapshot* out) const;

  // The shared block (defined with the writer).
  struct Layout;

 private:
  ProjectorStateReader(int fd, Layout* layout) : fd_(fd), layout_(layout) {}
  int fd_;
  Layout* layout_;
};

}  // namespace sim
