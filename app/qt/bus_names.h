// The names under which the running instance is reached on the session bus.
#pragma once

namespace kelvoma::app::qt {

inline constexpr const char* kBusInterface = "cz.tobranix.Kelvoma";
inline constexpr const char* kBusPath = "/cz/tobranix/Kelvoma";
// The well-known name the running instance holds, and the signal a second
// start sends it instead of running twice, with the XDG_ACTIVATION_TOKEN it
// was started with (empty without one) as its argument.
inline constexpr const char* kBusName = "cz.tobranix.Kelvoma";
inline constexpr const char* kReopenSignal = "KelvomaReopen";

}  // namespace kelvoma::app::qt
