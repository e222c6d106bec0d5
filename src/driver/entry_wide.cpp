// SPDX-License-Identifier: MIT
// Entry point where the runtime passes wide-character arguments.
#include "count_argument.h"
#include "run_state.h"

int wmain(int argc, wchar_t *argv[]) { return RunMainSequence(CountFromArguments(argc, argv)); }
