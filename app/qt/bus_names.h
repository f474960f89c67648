// The names under which the running instance is reached on the session bus.
#pragma once

namespace kelvoma::app::qt {

inline constexpr const char* kBusInterface = "cz.tobranix.Kelvoma";
inline constexpr const char* kBusPath = "/cz/tobranix/Kelvoma";
// The well-known name the running instance holds; a second start calls it
// instead of running twice (reopen_channel.h).
inline constexpr const char* kBusName = "cz.tobranix.Kelvoma";

}  // namespace kelvoma::app::qt
