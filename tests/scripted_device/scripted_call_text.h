// SPDX-License-Identifier: MIT
// How the scripted device writes call arguments into its log.
#pragma once

#include <cstdint>
#include <string>

#include "platform.h"

std::string Hex(std::uintptr_t value);
std::string HandleText(const void *handle);
std::string GuidText(const GUID *guid);
// ASCII as is; any other character as '?'.
std::string NarrowText(const WCHAR *text);
