// SPDX-License-Identifier: MIT
// A device script written as text, one directive a line, so that a process
// which cannot share memory with the test (a program under Wine, say) can
// follow the same script. '#' starts a comment line.
//   path TEXT                     an interface path, in enumeration order (ASCII)
//   detail-query-fails | initialize-fails | speed-query-fails | interface-query-fails
//   speed N
//   pipe bulk|interrupt|control|isochronous ID [query-fails]
//   endpoint-count N
//   max-bytes-per-write N
//   write-takes N...              counts the next writes report as taken
//   failing-write N               the 1-based write that fails
//   read [HEX]                    one read answered with these bytes (none: zero-length)
//   read-fails                    one read that fails
// Numbers are decimal or 0x-prefixed hexadecimal.
#pragma once

#include <string>

#include "scripted_device.h"

// Fills script from text. On a bad line returns false and says which line
// and why in error; script is then incomplete.
bool ParseDeviceScript(const std::string &text, DeviceScript &script, std::string &error);
