#pragma once
// A cross-process, manual-reset event addressed by name, standing in for a
// Windows named event. The state lives in POSIX shared memory "/NAME" as a
// process-shared robust mutex and condition variable, so a holder that dies
// never blocks the others. Like the Windows object, the event exists while at
// least one process has it open: the first opener (re)initialises it and the
// last closer removes the name.
#include <memory>
#include <string>

namespace platform {

class NamedEvent {
 public:
  // Opens the event, creating it (not signalled, or signalled when
  // initiallySet) when no process has it open. Null on failure.
  static std::unique_ptr<NamedEvent> create(const std::string& name, bool initiallySet = false);
  // Opens an event some process has created. Null when there is none.
  static std::unique_ptr<NamedEvent> open(const std::string& name);

  ~NamedEvent();
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;

  void set();
  void reset();
  bool isSet() const;
  // Waits until the event is set. timeoutMs < 0 waits forever. Returns true
  // when the event is set, false on time-out.
  bool wait(int timeoutMs) const;

  const std::string& name() const { return name_; }

 private:
  struct Shared;
  NamedEvent(std::string name, int fd, Shared* shared);
  static std::unique_ptr<NamedEvent> openImpl(const std::string& name, bool create, bool initiallySet);

  std::string name_;
  int fd_;
  Shared* shared_;
};

}  // namespace platform
