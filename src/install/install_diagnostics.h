// The lines a run writes to the program's standard error when it does not end in a complete
// success: one per step that failed or decided the outcome, naming the step and how it ended, so
// that "run it from a terminal for details" leads somewhere. The window never shows them.
#pragma once

#include <string>

#include "base/child_process.h"
#include "payload/staging.h"

namespace velto {

std::string staging_line(const StagingFailure& failure);
// `program` is the interpreter that ran the preflight text.
std::string preflight_line(const std::string& program, ChildEnd end);
std::string install_line(const std::string& pkexec, ChildEnd end);
// pkexec was not started: the staged package's path could not be made absolute.
std::string install_not_started_line(const std::string& pkexec);
// `recovery`: the restart after a failed install, whose result does not change the outcome.
std::string restart_line(const std::string& desktop, ChildEnd end, bool recovery);

}  // namespace velto
