#include "ffmpeg/output/memory.hpp"

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

namespace ffmpeg {
namespace {

constexpr uint64_t kUnknown = std::numeric_limits<uint64_t>::max();

// A number from the start of a small text file; kUnknown when absent or "max".
uint64_t read_number(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "re");
  if (!f) return kUnknown;
  unsigned long long value = 0;
  const bool got = std::fscanf(f, "%llu", &value) == 1;
  std::fclose(f);
  return got ? value : kUnknown;
}

// MemAvailable + SwapFree from /proc/meminfo; total physical memory without it.
uint64_t system_available() {
  uint64_t available = kUnknown, swap = 0;
  if (FILE* f = std::fopen("/proc/meminfo", "re")) {
    char line[256];
    unsigned long long kib;
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "MemAvailable: %llu kB", &kib) == 1) available = kib * 1024;
      else if (std::sscanf(line, "SwapFree: %llu kB", &kib) == 1) swap = kib * 1024;
    }
    std::fclose(f);
  }
  if (available == kUnknown) {
    const long pages = sysconf(_SC_PHYS_PAGES), page = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page <= 0) return kUnknown;
    available = static_cast<uint64_t>(pages) * static_cast<uint64_t>(page);
  }
  return available + swap;
}

// What the process's memory cgroup still allows (v2, else v1); kUnknown without a limit.
// Inside a container the cgroup's own directory is usually the mount point itself.
uint64_t cgroup_left() {
  FILE* f = std::fopen("/proc/self/cgroup", "re");
  if (!f) return kUnknown;
  std::string v2, v1;
  char line[512];
  while (std::fgets(line, sizeof line, f)) {
    std::string s(line);
    if (!s.empty() && s.back() == '\n') s.pop_back();
    if (s.rfind("0::", 0) == 0) v2 = s.substr(3);
    else if (const auto at = s.find(":memory:"); at != std::string::npos) v1 = s.substr(at + 8);
  }
  std::fclose(f);
  struct Layout {
    std::string root, path, limit, usage;
  };
  const Layout layouts[] = {{"/sys/fs/cgroup", v2, "memory.max", "memory.current"},
                            {"/sys/fs/cgroup/memory", v1, "memory.limit_in_bytes",
                             "memory.usage_in_bytes"}};
  for (const Layout& l : layouts) {
    for (const std::string& dir : {l.root + l.path, l.root}) {
      const uint64_t limit = read_number(dir + "/" + l.limit);
      if (limit == kUnknown) continue;
      const uint64_t usage = read_number(dir + "/" + l.usage);
      if (usage == kUnknown) return kUnknown;
      return limit > usage ? limit - usage : 0;
    }
  }
  return kUnknown;
}

// What the address-space and data-size limits still allow, from the sizes in
// /proc/self/statm (pages: total first, data and stack sixth).
uint64_t rlimits_left() {
  rlimit as{}, data{};
  const bool has_as = getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY;
  const bool has_data = getrlimit(RLIMIT_DATA, &data) == 0 && data.rlim_cur != RLIM_INFINITY;
  if (!has_as && !has_data) return kUnknown;
  unsigned long long size = 0, resident, shared, text, lib, used_data = 0;
  if (FILE* f = std::fopen("/proc/self/statm", "re")) {
    if (std::fscanf(f, "%llu %llu %llu %llu %llu %llu", &size, &resident, &shared, &text, &lib,
                    &used_data) != 6)
      size = used_data = 0;
    std::fclose(f);
  }
  const auto page = static_cast<uint64_t>(sysconf(_SC_PAGESIZE));
  auto left = [](uint64_t limit, uint64_t used) { return limit > used ? limit - used : 0; };
  uint64_t result = kUnknown;
  if (has_as) result = std::min(result, left(as.rlim_cur, size * page));
  if (has_data) result = std::min(result, left(data.rlim_cur, used_data * page));
  return result;
}

}  // namespace

uint64_t available_memory() noexcept {
  try {
    return std::min({system_available(), cgroup_left(), rlimits_left()});
  } catch (...) {
    return kUnknown;  // the strings could not be allocated: no bound rather than a crash
  }
}

Status check_memory(uint64_t bytes, const char* what) {
  const uint64_t available = available_memory();
  if (bytes <= available) return ok();
  constexpr uint64_t kMiB = 1 << 20;
  return Error::memory(std::string(what) + " needs " + std::to_string((bytes + kMiB - 1) / kMiB) +
                       " MiB, more than the " + std::to_string(available / kMiB) +
                       " MiB available");
}

}  // namespace ffmpeg
