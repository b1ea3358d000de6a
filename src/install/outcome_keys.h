// The text keys of the catalogue that a run can report.
#pragma once

namespace velto {

// The text keys a run can report; each names what happened and what the user can do about it.
namespace outcome_key {
inline constexpr const char kFailed[] = "linuxSetupFailed";
inline constexpr const char kPrepareFailed[] = "linuxSetupPrepareFailed";
inline constexpr const char kPrepareLegacy[] = "linuxSetupPrepareLegacy";
inline constexpr const char kPrepareBusy[] = "linuxSetupPrepareBusy";
inline constexpr const char kRestartFailed[] = "linuxSetupRestartFailed";
inline constexpr const char kRestartLegacy[] = "linuxSetupRestartLegacy";
inline constexpr const char kRestartBusy[] = "linuxSetupRestartBusy";
}  // namespace outcome_key

}  // namespace velto
