#include "platform/posix/learned_ways.h"

#include <cstddef>

namespace {
// Fixed room, no allocation: a run meets few devices.
struct LearnedWay {
  dev_t device;
  Way way;
};
LearnedWay learned[16];
std::size_t learnedCount = 0;
}  // namespace

Way WayFor(dev_t device) {
  for (std::size_t i = 0; i < learnedCount; ++i)
    if (learned[i].device == device) return learned[i].way;
  return Way::RenameFlag;
}

void Learn(dev_t device, Way way) {
  for (std::size_t i = 0; i < learnedCount; ++i)
    if (learned[i].device == device) {
      learned[i].way = way;
      return;
    }
  if (learnedCount < sizeof learned / sizeof learned[0]) learned[learnedCount++] = {device, way};
}

bool AnyWayLearned() { return learnedCount > 0; }
