// Fuzz target of the simulated controller's request handling: a stream of
// requests, as the service hands them over, to a controller of the example
// machine, with the simulated clock moving on between them. The input is a
// sequence of steps, each
//   op, dt, then what op needs:
//   op % 5 == 0  an action request of 216 bytes
//             1  an action request of n bytes (n the next byte)
//             2  a logger request of 88 bytes
//             3  a logger request of n bytes
//             4  an input forced by hand: device, pin, value
// and the clock moves on by (dt / 16)^2 seconds before the request. Every
// request gets a reply of the protocol's size; every published record is an
// action record under its command id; nothing crashes, hangs or trips a
// sanitizer.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "check.hpp"
#include "zarn/client/records.hpp"
#include "zarn/sim/config.hpp"
#include "zarn/sim/controller.hpp"

namespace {

namespace rec = zarn::records;
namespace sim = zarn::sim;

const sim::MachineConfig& example_machine() {
  static const sim::MachineConfig machine =
      sim::load_machine(std::string(ZARN_SOURCE_DIR) + "/examples/handler_settings.yaml");
  return machine;
}

std::int32_t result_of(std::string_view record) {
  std::int32_t value;
  std::memcpy(&value, record.data() + 212, sizeof value);
  return value;
}

class Input {
 public:
  Input(const std::uint8_t* data, std::size_t size)
      : rest_(reinterpret_cast<const char*>(data), size) {}
  bool empty() const { return rest_.empty(); }
  unsigned byte() {
    if (rest_.empty()) return 0;
    const auto value = static_cast<unsigned char>(rest_[0]);
    rest_.remove_prefix(1);
    return value;
  }
  std::string_view bytes(std::size_t n) {
    const std::string_view taken = rest_.substr(0, n);
    rest_.remove_prefix(taken.size());
    return taken;
  }

 private:
  std::string_view rest_;
};

void check_published(std::vector<sim::Published>& published) {
  for (const sim::Published& one : published) {
    ZARN_FUZZ_CHECK(one.record.size() == rec::kActionRecordBytes);
    ZARN_FUZZ_CHECK(!one.topic.empty());
    const std::vector<rec::Field> fields = rec::unpack(rec::kActionDatatype, one.record);
    ZARN_FUZZ_CHECK(std::get<std::string>(fields[8]) == one.topic);
    ZARN_FUZZ_CHECK(result_of(one.record) != -1);
  }
  published.clear();
}

void action(sim::Controller& controller, std::string_view request, double now) {
  const std::string reply = controller.handle_action(request, now);
  ZARN_FUZZ_CHECK(reply.size() == rec::kActionRecordBytes);
  const std::int32_t result = result_of(reply);
  if (request.size() != rec::kActionRecordBytes) {
    ZARN_FUZZ_CHECK(result == sim::result::kWrongSize);
    return;
  }
  // The reply is the request, with the controller's answer in its result field.
  ZARN_FUZZ_CHECK(reply.compare(0, 212, request, 0, 212) == 0);
  ZARN_FUZZ_CHECK(result == sim::result::kOk || (result <= -101 && result >= -106));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sim::Controller controller(example_machine());
  std::vector<sim::Published> published;
  Input input(data, size);
  double now = 0.0;
  while (!input.empty()) {
    const unsigned op = input.byte();
    const double step = input.byte() / 16.0;
    now += step * step;
    switch (op % 5) {
      case 0:
        action(controller, input.bytes(rec::kActionRecordBytes), now);
        break;
      case 1:
        action(controller, input.bytes(input.byte()), now);
        break;
      case 2:
      case 3: {
        const std::size_t n = op % 5 == 2 ? rec::kLogRecordBytes : input.byte();
        const std::string reply = controller.handle_logger(input.bytes(n), now);
        ZARN_FUZZ_CHECK(reply.size() == rec::kLogRecordBytes);
        break;
      }
      default: {
        const int device = static_cast<int>(input.byte());
        const int pin = static_cast<int>(input.byte()) - 8;
        const int value = static_cast<int>(input.byte() % 3);
        (void)controller.force_input(device, pin, value, now);
        break;
      }
    }
    controller.advance(now);
    controller.take_published(published);
    check_published(published);
  }
  // Then let everything under way run out (bounded: a condition may watch
  // forever).
  for (int event = 0; event < 1000; ++event) {
    const std::optional<double> next = controller.next_event();
    if (!next) break;
    ZARN_FUZZ_CHECK(!std::isnan(*next));
    if (*next > now) now = *next;
    controller.advance(now);
    controller.take_published(published);
    check_published(published);
  }
  return 0;
}
