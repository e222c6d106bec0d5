// SPDX-License-Identifier: MIT
// Entry point where the runtime passes narrow arguments; the count follows
// the same rules as with wide ones.
#include "count_argument.h"
#include "run_state.h"

int main(int argc, char *argv[]) { return RunMainSequence(CountFromArguments(argc, argv)); }
