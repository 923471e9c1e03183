#include "motion.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace brivel::sim {

Motion Motion::rest(std::int64_t position) {
  Motion motion;
  motion.from = motion.to = position;
  return motion;
}

double Motion::arrival() const {
  const std::int64_t distance = std::llabs(to - from);
  if (distance == 0) return start;
  if (rate <= 0.0) return std::numeric_limits<double>::infinity();
  return start + static_cast<double>(distance) / rate;
}

std::int64_t Motion::at(double t) const {
  if (t <= start) return from;
  if (t >= arrival()) return to;
  const std::int64_t covered = static_cast<std::int64_t>(std::floor(rate * (t - start)));
  const std::int64_t distance = std::llabs(to - from);
  const std::int64_t done = covered < distance ? covered : distance;
  return to >= from ? from + done : from - done;
}

}  // namespace brivel::sim
