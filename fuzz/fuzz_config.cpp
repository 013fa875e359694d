// Fuzz target of configuration loading: the YAML tree (typing, anchors,
// merges, limits) and the machine the simulated controller reads from it
// (devices, IO images, the Simulator section). Loading may only refuse with
// the loader's errors or a ConfigError; a machine it accepts must come up as a
// simulated controller and run its start-up, wiring and timers without fault.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "zarn/base/yaml_tree.hpp"
#include "zarn/sim/config.hpp"
#include "zarn/sim/controller.hpp"

namespace {

namespace sim = zarn::sim;
namespace yaml = zarn::yaml;

void check_machine(const sim::MachineConfig& machine) {
  for (const sim::IoModuleConfig& module : machine.io_modules) {
    ZARN_FUZZ_CHECK(module.input_bytes >= 0 && module.output_bytes >= 0);
    if (module.input_start >= 0) {
      ZARN_FUZZ_CHECK(module.input_start + module.input_bytes <= machine.input_image_bytes);
    }
    if (module.output_start >= 0) {
      ZARN_FUZZ_CHECK(module.output_start + module.output_bytes <= machine.output_image_bytes);
    }
  }
  // Up and running for a while: start-up delays, wiring, expiries.
  sim::Controller controller(machine);
  std::vector<sim::Published> published;
  double now = 0.0;
  for (int step = 0; step < 200; ++step) {
    const std::optional<double> next = controller.next_event();
    if (!next) break;
    ZARN_FUZZ_CHECK(!std::isnan(*next));
    if (*next > now) now = *next;
    controller.advance(now);
    controller.take_published(published);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  yaml::Node root;
  try {
    root = yaml::load_string(text);
  } catch (const yaml::Error& error) {
    ZARN_FUZZ_CHECK(error.what()[0] != '\0');
    return 0;
  }
  try {
    check_machine(sim::machine_from_tree(root, "fuzz.yaml"));
  } catch (const sim::ConfigError& error) {
    ZARN_FUZZ_CHECK(error.what()[0] != '\0');
  }
  return 0;
}
