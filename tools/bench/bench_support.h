// What the benchmarks that drive the whole road in their own process (the
// Kerunel control, the reference Service Object, each link driver, the ECR
// simulator) share: their command line, their start, the device they
// configure per driver and the control that opens it. Each step that can
// fail prints why on stderr, headed by the benchmark's name.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "control_client.h"
#include "ecrsim.h"
#include "roads.h"
#include "support.h"
#include "win_raii.h"

namespace bench {

using kr_test::Road;

// One option of the command line, `flag VALUE`; the usage shows VALUE as
// `value`.
struct Option {
  const char* flag;
  const char* value;
  std::function<void(const char* text)> read;
};
// A count (at least 1), and the one driver to run (all when not given).
Option Count(const char* flag, int* count);
Option Driver(std::string* only);

// Reads the command line of the benchmark `name`, which heads its error
// lines from then on; false, with the usage printed, on anything but the
// options given (each with its value).
bool ReadOptions(const char* name, int argc, char** argv, const std::vector<Option>& options);

// Registers the reference Service Object on a thread where COM runs;
// false, printed, when COM or the registration failed.
bool RegisterServiceObject(const kr::ComInit& com);

// The roads to run: every one, or the one of the driver named.
std::vector<Road> Roads(const std::string& only);

// Makes `device` use the reference Service Object over the road's driver
// to ecr (OnLine 1), with `values` besides; false, printed, when the key
// cannot be written.
bool ConfigureDevice(kr_test::ScopedOposConfig& config, const wchar_t* device, const Road& road,
                     const ecrsim::Simulator& ecr, std::vector<kr_test::OposValue> values = {});

// Creates the control from Kerunel.ocx beside the program; false, printed,
// when it cannot be loaded.
bool CreateControl(kcli::ControlClient& c);

// True when a step gave 0; else prints "<what> returned <result>".
bool Must(long result, const char* what);

// Open, Claim and enable, each through Must.
bool OpenDevice(kcli::ControlClient& c, const wchar_t* device);

}  // namespace bench
