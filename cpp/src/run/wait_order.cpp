#include "zarn/run/wait_order.hpp"

#include <algorithm>
#include <unordered_map>

namespace zarn {

WaitOrder order_waits(std::size_t count, const WaitsOf& waits_of) {
  // Successors in one flat array: a plan may hold many thousands of steps.
  std::vector<std::size_t> unfinished(count, 0), first(count + 1, 0);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j : waits_of(i)) {
      ++first[j + 1];
      ++unfinished[i];
    }
  }
  for (std::size_t i = 0; i < count; ++i) first[i + 1] += first[i];
  std::vector<std::size_t> successors(first[count]), filled(first.begin(), first.end() - 1);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t j : waits_of(i)) successors[filled[j]++] = i;
  }

  WaitOrder order;
  order.level.assign(count, 0);
  std::vector<std::size_t> ready;
  for (std::size_t i = 0; i < count; ++i) {
    if (unfinished[i] == 0) ready.push_back(i);
  }
  std::size_t done = 0;
  while (!ready.empty()) {
    const std::size_t step = ready.back();
    ready.pop_back();
    ++done;
    for (std::size_t k = first[step]; k < first[step + 1]; ++k) {
      const std::size_t next = successors[k];
      order.level[next] = std::max(order.level[next], order.level[step] + 1);
      if (--unfinished[next] == 0) ready.push_back(next);
    }
  }
  if (done == count) return order;

  // Every step left over waits for another one left over: follow the waits
  // until one repeats, which closes the circle.
  std::size_t current = 0;
  while (unfinished[current] == 0) ++current;
  std::unordered_map<std::size_t, std::size_t> seen;  // step -> place on the path
  std::vector<std::size_t> path;
  while (seen.find(current) == seen.end()) {
    seen.emplace(current, path.size());
    path.push_back(current);
    for (std::size_t j : waits_of(current)) {
      if (unfinished[j] != 0) {
        current = j;
        break;
      }
    }
  }
  order.circle.assign(path.begin() + static_cast<std::ptrdiff_t>(seen[current]), path.end());
  return order;
}

}  // namespace zarn
