#include "midi/backends/late_cycles.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace rt88h::midi {
namespace {

bool parseUnsigned(std::string_view text, uint64_t max, uint64_t* value) {
  if (text.empty() || text.front() < '0' || text.front() > '9') return false;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long parsed = std::strtoull(copy.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed > max) return false;
  *value = parsed;
  return true;
}

// How long the late callback takes: more than one period, at most ten.
bool parsePeriods(std::string_view text, double* periods) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double parsed = std::strtod(copy.c_str(), &end);
  if (copy.empty() || errno != 0 || *end != '\0' || !(parsed > 1.0 && parsed <= 10.0)) {
    return false;
  }
  *periods = parsed;
  return true;
}

uint64_t mix(uint64_t x) noexcept {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

}  // namespace

bool LateCycles::lateIn(uint64_t cycle) const noexcept {
  if (!active) return false;
  if (random) return mix(seed ^ mix(cycle)) % 100 < percent;
  return std::binary_search(cycles.begin(), cycles.end(), cycle);
}

bool parseLateCycles(std::string_view pattern, LateCycles* late, std::string* error) {
  LateCycles parsed;
  auto bad = [&](const std::string& why) {
    if (error != nullptr) *error = "late cycles \"" + std::string(pattern) + "\": " + why;
    return false;
  };
  std::string_view chosen = pattern;
  for (const auto& [prefix, beforeSend] :
       {std::pair<std::string_view, bool>{"send:", false}, {"before-send:", true}}) {
    if (chosen.substr(0, prefix.size()) != prefix) continue;
    chosen.remove_prefix(prefix.size());
    parsed.counts = LateCycles::Counts::Sends;
    parsed.beforeSend = beforeSend;
    break;
  }
  const std::vector<std::string_view> fields = split(chosen, ':');
  if (fields[0] == "random") {
    uint64_t percent = 0;
    if (fields.size() < 3 || fields.size() > 4) {
      return bad("expected random:PERCENT:SEED[:PERIODS]");
    }
    if (!parseUnsigned(fields[1], 100, &percent)) return bad("PERCENT must be 0 to 100");
    if (!parseUnsigned(fields[2], UINT64_MAX, &parsed.seed)) return bad("SEED must be a number");
    if (fields.size() == 4 && !parsePeriods(fields[3], &parsed.periods)) {
      return bad("PERIODS must be more than 1 and at most 10");
    }
    parsed.random = true;
    parsed.percent = static_cast<uint32_t>(percent);
  } else {
    if (fields.size() > 2) return bad("expected N[,N...][:PERIODS] or random:PERCENT:SEED");
    for (std::string_view number : split(fields[0], ',')) {
      uint64_t cycle = 0;
      if (!parseUnsigned(number, UINT64_MAX, &cycle) || cycle == 0) {
        return bad("cycle numbers start at 1");
      }
      parsed.cycles.push_back(cycle);
    }
    if (fields.size() == 2 && !parsePeriods(fields[1], &parsed.periods)) {
      return bad("PERIODS must be more than 1 and at most 10");
    }
    std::sort(parsed.cycles.begin(), parsed.cycles.end());
  }
  parsed.active = parsed.random ? parsed.percent > 0 : !parsed.cycles.empty();
  *late = std::move(parsed);
  return true;
}

}  // namespace rt88h::midi
