// Texts the control shows in more than one place.
#pragma once

namespace kr {

// ControlObjectDescription, also shown on the property page.
inline constexpr char kControlDescription[] = "OPOS Fiscal Printer Control, (C) Tarvello";

}  // namespace kr
