// SPDX-License-Identifier: MIT
#include "scripted_script_text.h"

#include <cstdlib>
#include <sstream>
#include <vector>

namespace {

bool ParseNumber(const std::string &word, unsigned long maximum, unsigned long &value) {
  if (word.empty() || word[0] == '-' || word[0] == '+') {
    return false;
  }
  char *end = nullptr;
  value = std::strtoul(word.c_str(), &end, 0);
  return *end == 0 && value <= maximum;
}

bool ParseHex(const std::string &word, std::string &bytes) {
  if (word.size() % 2 != 0) {
    return false;
  }
  for (std::size_t i = 0; i < word.size(); i += 2) {
    unsigned long byte = 0;
    if (!ParseNumber("0x" + word.substr(i, 2), 0xFF, byte)) {
      return false;
    }
    bytes += static_cast<char>(byte);
  }
  return true;
}

bool ParsePipeType(const std::string &word, USBD_PIPE_TYPE &type) {
  if (word == "control") {
    type = UsbdPipeTypeControl;
  } else if (word == "isochronous") {
    type = UsbdPipeTypeIsochronous;
  } else if (word == "bulk") {
    type = UsbdPipeTypeBulk;
  } else if (word == "interrupt") {
    type = UsbdPipeTypeInterrupt;
  } else {
    return false;
  }
  return true;
}

// Applies one directive; returns the reason when it is not understood.
std::string ApplyDirective(const std::string &line, DeviceScript &script) {
  std::istringstream in(line);
  std::string name;
  in >> name;
  std::vector<std::string> words;
  for (std::string word; in >> word;) {
    words.push_back(word);
  }
  unsigned long number = 0;
  auto oneNumber = [&](unsigned long maximum) {
    return words.size() == 1 && ParseNumber(words[0], maximum, number);
  };

  if (name == "path" && !words.empty()) {
    const std::size_t start = line.find_first_not_of(" \t", line.find(name) + name.size());
    const std::string text = line.substr(start);
    std::wstring path;
    for (const char c : text) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        return "a path must be ASCII";
      }
      path += static_cast<wchar_t>(c);
    }
    script.paths.push_back(path);
  } else if (name == "detail-query-fails" && words.empty()) {
    script.detailQueryFails = true;
  } else if (name == "initialize-fails" && words.empty()) {
    script.initializeFails = true;
  } else if (name == "speed-query-fails" && words.empty()) {
    script.speedQueryFails = true;
  } else if (name == "interface-query-fails" && words.empty()) {
    script.interfaceQueryFails = true;
  } else if (name == "speed" && oneNumber(0xFF)) {
    script.speed = static_cast<UCHAR>(number);
  } else if (name == "pipe" && (words.size() == 2 || words.size() == 3)) {
    ScriptedPipe pipe{};
    if (!ParsePipeType(words[0], pipe.type) || !ParseNumber(words[1], 0xFF, number)) {
      return "expected: pipe bulk|interrupt|control|isochronous ID [query-fails]";
    }
    pipe.id = static_cast<UCHAR>(number);
    if (words.size() == 3) {
      if (words[2] != "query-fails") {
        return "unknown pipe option '" + words[2] + "'";
      }
      pipe.queryFails = true;
    }
    script.pipes.push_back(pipe);
  } else if (name == "endpoint-count" && oneNumber(0xFF)) {
    script.endpointCountOverride = static_cast<int>(number);
  } else if (name == "max-bytes-per-write" && oneNumber(UINT32_MAX)) {
    script.maxBytesPerWrite = static_cast<ULONG>(number);
  } else if (name == "write-takes" && !words.empty()) {
    for (const std::string &word : words) {
      if (!ParseNumber(word, UINT32_MAX, number)) {
        return "'" + word + "' is not a count";
      }
      script.writeTakes.push_back(static_cast<ULONG>(number));
    }
  } else if (name == "failing-write" && oneNumber(INT32_MAX)) {
    script.failingWrite = static_cast<int>(number);
  } else if (name == "read" && words.size() <= 1) {
    ScriptedRead read;
    if (words.size() == 1 && !ParseHex(words[0], read.data)) {
      return "the data of a read must be pairs of hexadecimal digits";
    }
    script.reads.push_back(read);
  } else if (name == "read-fails" && words.empty()) {
    script.reads.push_back(ScriptedRead{FALSE, {}, false, 0});
  } else {
    return "not understood";
  }
  return {};
}

} // namespace

bool ParseDeviceScript(const std::string &text, DeviceScript &script, std::string &error) {
  std::istringstream in(text);
  int number = 0;
  for (std::string line; std::getline(in, line);) {
    ++number;
    if (!line.empty() && line.back() == '\r') {
      line.pop_back();
    }
    if (line.find_first_not_of(" \t") == std::string::npos || line[0] == '#') {
      continue;
    }
    const std::string reason = ApplyDirective(line, script);
    if (!reason.empty()) {
      error = "line " + std::to_string(number) + " (" + line + "): " + reason;
      return false;
    }
  }
  return true;
}
