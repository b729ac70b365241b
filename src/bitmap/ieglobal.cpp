#include "ieglobal.h"

#include <unistd.h>

#include <fstream>
#include <set>
#include <string>
#include <thread>
#include <utility>

TIEGlobalSettings& TIEGlobalSettings::Instance() {
  // Initialised once, thread-safe; never destroyed, so that bitmaps freed
  // during static destruction can still read it.
  static TIEGlobalSettings* instance = new TIEGlobalSettings();
  return *instance;
}

namespace {

// Physical cores: distinct (package, core) pairs of the online processors.
int32_t CountCores() {
  long cpus = ::sysconf(_SC_NPROCESSORS_CONF);
  std::set<std::pair<int, int>> cores;
  for (long cpu = 0; cpu < cpus && cpu < 4096; ++cpu) {
    std::string base = "/sys/devices/system/cpu/cpu" + std::to_string(cpu) + "/topology/";
    std::ifstream coreFile(base + "core_id"), packageFile(base + "physical_package_id");
    int core = -1, package = -1;
    if (!(coreFile >> core) || !(packageFile >> package)) continue;
    cores.emplace(package, core);
  }
  if (!cores.empty()) return static_cast<int32_t>(cores.size());
  unsigned logical = std::thread::hardware_concurrency();
  return logical > 0 ? static_cast<int32_t>(logical) : 1;
}

}  // namespace

int32_t TIEGlobalSettings::ProcessorCoreCount() const {
  static const int32_t count = CountCores();
  return count;
}

int64_t IEPhysicalMemory() {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long pageSize = ::sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || pageSize <= 0) return 0;
  return static_cast<int64_t>(pages) * static_cast<int64_t>(pageSize);
}
