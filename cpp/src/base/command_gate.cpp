#include "zarn/base/command_gate.hpp"

namespace zarn {

const char* to_string(CommandKind kind) {
  switch (kind) {
    case CommandKind::Drive:
      return "drive";
    case CommandKind::Stop:
      return "stop";
    case CommandKind::Output:
      return "output";
    case CommandKind::Condition:
      return "condition";
  }
  return "unknown";
}

bool CommandGate::enter(CommandKind kind) {
  std::lock_guard lock(mutex_);
  const bool passes = !closed_ || kind == CommandKind::Stop || kind == CommandKind::Condition ||
                      (kind == CommandKind::Output && outputs_through_);
  if (!passes) {
    ++refused_;
    return false;
  }
  ++passing_;
  return true;
}

void CommandGate::leave() {
  std::lock_guard lock(mutex_);
  if (passing_ > 0 && --passing_ == 0) cleared_.notify_all();
}

void CommandGate::close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
}

bool CommandGate::is_closed() const {
  std::lock_guard lock(mutex_);
  return closed_;
}

bool CommandGate::wait_clear_until(std::chrono::steady_clock::time_point deadline) const {
  std::unique_lock lock(mutex_);
  return cleared_.wait_until(lock, deadline, [this] { return passing_ == 0; });
}

void CommandGate::let_outputs_through(bool on) {
  std::lock_guard lock(mutex_);
  outputs_through_ = on;
}

bool CommandGate::outputs_let_through() const {
  std::lock_guard lock(mutex_);
  return outputs_through_;
}

bool CommandGate::reopen() {
  std::lock_guard lock(mutex_);
  if (passing_ > 0) return false;
  closed_ = false;
  outputs_through_ = false;
  return true;
}

std::size_t CommandGate::passing() const {
  std::lock_guard lock(mutex_);
  return passing_;
}

std::uint64_t CommandGate::refused() const {
  std::lock_guard lock(mutex_);
  return refused_;
}

}  // namespace zarn
