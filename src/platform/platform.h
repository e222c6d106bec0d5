// SPDX-License-Identifier: MIT
// The one door from the program to the operating system: the Windows device
// API by its own names. The build puts exactly one platform folder on the
// include path, and its winapi.h provides these names: the SDK itself on
// Windows, a declared subset implemented over other services elsewhere.
#pragma once

#include "winapi.h"
