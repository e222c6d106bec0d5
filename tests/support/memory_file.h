// SPDX-License-Identifier: MIT
// Anonymous in-memory files that stand in for a child's standard streams.
#pragma once

#include <string>

// A new in-memory file, closed on exec; throws when none can be made.
int MemoryFile(const char *name);

// Writes all of bytes at the file's current offset; throws on failure.
void WriteAll(int fd, const std::string &bytes);

// Everything the file holds, from its start.
std::string ReadAllFrom(int fd);
