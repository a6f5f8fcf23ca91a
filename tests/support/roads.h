// The roads from the reference Service Object to the simulator's virtual
// printer: each link driver and the wire it speaks. For the tests and
// benchmarks that link the simulator; a test runs once per road with
//   INSTANTIATE_TEST_SUITE_P(Drivers, T, ::testing::ValuesIn(kr_test::kRoads),
//                            kr_test::RoadName());
#pragma once

#include <ostream>
#include <string>

#include "ecrsim.h"

namespace kr_test {

struct Road {
  const char* driver;
  ecrsim::Wire wire;
};

inline constexpr Road kRoads[] = {
    {"Sandoral", ecrsim::Wire::kHexLine},
    {"Mirevon", ecrsim::Wire::kHostPc},
};

// How a failing test shows its road.
inline void PrintTo(const Road& road, std::ostream* out) {
  *out << road.driver;
}

// Names a parameterised test after its road's driver.
struct RoadName {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& info) const {
    return info.param.driver;
  }
};

}  // namespace kr_test
