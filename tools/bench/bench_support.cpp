#include "bench_support.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "opos.h"
#include "service_ids.h"

namespace bench {
namespace {

const char* g_name = "bench";

bool Fail(const char* what) {
  std::fprintf(stderr, "%s: %s\n", g_name, what);
  return false;
}

}  // namespace

Option Count(const char* flag, int* count) {
  return {flag, "N", [count](const char* text) { *count = std::max(1, std::atoi(text)); }};
}

Option Driver(std::string* only) {
  return {"--driver", "NAME", [only](const char* text) { *only = text; }};
}

bool ReadOptions(const char* name, int argc, char** argv, const std::vector<Option>& options) {
  g_name = name;
  for (int i = 1; i < argc; ++i) {
    auto option = std::find_if(options.begin(), options.end(),
                               [&](const Option& o) { return std::strcmp(o.flag, argv[i]) == 0; });
    if (option == options.end() || i + 1 == argc) {
      std::fprintf(stderr, "usage: %s", name);
      for (const Option& o : options) std::fprintf(stderr, " [%s %s]", o.flag, o.value);
      std::fprintf(stderr, "\n");
      return false;
    }
    option->read(argv[++i]);
  }
  return true;
}

bool RegisterServiceObject(const kr::ComInit& com) {
  if (SUCCEEDED(com.result()) && kr_test::RegisterServer(KSO_MODULE) == S_OK) return true;
  return Fail("KerunelSO.dll could not be registered");
}

std::vector<Road> Roads(const std::string& only) {
  std::vector<Road> roads;
  for (const Road& road : kr_test::kRoads) {
    if (only.empty() || only == road.driver) roads.push_back(road);
  }
  return roads;
}

bool ConfigureDevice(kr_test::ScopedOposConfig& config, const wchar_t* device, const Road& road,
                     const ecrsim::Simulator& ecr, std::vector<kr_test::OposValue> values) {
  values.insert(values.begin(), {{L"LinkDriver", kr_test::Wide(road.driver)},
                                 {L"Link", kr_test::Wide(ecr.InlineSettings("OnLine=1"))}});
  if (config.Device(device, KSO_PROGID, values) == ERROR_SUCCESS) return true;
  return Fail("the device key could not be written");
}

bool CreateControl(kcli::ControlClient& c) {
  return SUCCEEDED(c.Create(L"Kerunel.ocx")) || Fail("Kerunel.ocx could not be loaded");
}

bool Must(long result, const char* what) {
  if (result == opos::OPOS_SUCCESS) return true;
  std::fprintf(stderr, "%s: %s returned %ld\n", g_name, what, result);
  return false;
}

bool OpenDevice(kcli::ControlClient& c, const wchar_t* device) {
  kcli::Args open, claim;
  return Must(c.Call("Open", open.Text(device)), "Open") &&
         Must(c.Call("Claim", claim.Long(2000)), "Claim") && SUCCEEDED(c.Set("DeviceEnabled", 1)) &&
         Must(c.Get("ResultCode"), "enabling");
}

}  // namespace bench
