// SPDX-License-Identifier: MIT
// What turns the scripted device into a stand-in system DLL under Wine: on
// load it reads the device script named by PELMORA_DEVICE_SCRIPT; on unload
// it leaves its call log (and, for the WinUSB stand-in, the bytes the bulk
// OUT pipe took) in the folder named by PELMORA_DEVICE_RECORD, where the
// test runner reads them. STANDIN_NAME names the files.
#include <string>

#include "platform.h"
#include "scripted_call_text.h"
#include "scripted_device.h"
#include "scripted_script_text.h"

namespace {

std::wstring Environment(const wchar_t *name) {
  wchar_t value[1024];
  const DWORD length = GetEnvironmentVariableW(name, value, 1024);
  return length > 0 && length < 1024 ? std::wstring(value, length) : std::wstring();
}

bool ReadWholeFile(const std::wstring &path, std::string &bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return false;
  }
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  CloseHandle(file);
  return true;
}

void WriteWholeFile(const std::wstring &path, const std::string &bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    return;
  }
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
}

// The identity of an open file: two handles on one file give the same.
bool FileIdentity(HANDLE file, BY_HANDLE_FILE_INFORMATION &info) {
  return file != INVALID_HANDLE_VALUE && file != nullptr && GetFileInformationByHandle(file, &info);
}

// How a handle was opened, from ntdll: the access granted and the I/O mode
// (FileModeInformation; 0 for overlapped I/O).
struct HandleTraits {
  ULONG grantedAccess = 0;
  ULONG mode = 0xFFFFFFFF;
};

HandleTraits TraitsOf(HANDLE handle) {
  using QueryFile = LONG(WINAPI *)(HANDLE, void *, void *, ULONG, ULONG);
  using QueryObject = LONG(WINAPI *)(HANDLE, ULONG, void *, ULONG, ULONG *);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto queryFile = reinterpret_cast<QueryFile>(
      reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryInformationFile")));
  const auto queryObject = reinterpret_cast<QueryObject>(
      reinterpret_cast<void *>(GetProcAddress(ntdll, "NtQueryObject")));
  HandleTraits traits;
  void *status[2] = {};
  ULONG basic[16] = {}; // ObjectBasicInformation: attributes, then the granted access
  const ULONG FILE_MODE_INFORMATION = 16;
  const ULONG OBJECT_BASIC_INFORMATION = 0;
  if (queryFile == nullptr || queryObject == nullptr ||
      queryFile(handle, status, &traits.mode, sizeof traits.mode, FILE_MODE_INFORMATION) != 0 ||
      queryObject(handle, OBJECT_BASIC_INFORMATION, basic, sizeof basic, nullptr) != 0) {
    return HandleTraits();
  }
  traits.grantedAccess = basic[1];
  return traits;
}

// The binding accepts a handle only when it is open on the file that the
// first scripted interface path names (the program must open what the lookup
// found), and, as WinUSB requires, for reading and writing with overlapped I/O.
bool IsFirstPathFile(HANDLE handle) {
  if (Script().paths.empty()) {
    return false;
  }
  BY_HANDLE_FILE_INFORMATION opened = {};
  if (!FileIdentity(handle, opened)) {
    return false;
  }
  const HandleTraits traits = TraitsOf(handle);
  CallLog().push_back("DeviceHandle granted=" + Hex(traits.grantedAccess) +
                      " mode=" + Hex(traits.mode));
  const ULONG READ_WRITE = FILE_GENERIC_READ | FILE_GENERIC_WRITE;
  const ULONG SYNCHRONOUS_IO = 0x30; // FILE_SYNCHRONOUS_IO_ALERT | _NONALERT
  if ((traits.grantedAccess & READ_WRITE) != READ_WRITE || (traits.mode & SYNCHRONOUS_IO) != 0) {
    return false;
  }
  HANDLE own = CreateFileW(Script().paths[0].c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  BY_HANDLE_FILE_INFORMATION expected = {};
  const bool known = FileIdentity(own, expected);
  if (own != INVALID_HANDLE_VALUE) {
    CloseHandle(own);
  }
  return known && opened.dwVolumeSerialNumber == expected.dwVolumeSerialNumber &&
         opened.nFileIndexHigh == expected.nFileIndexHigh &&
         opened.nFileIndexLow == expected.nFileIndexLow;
}

std::wstring RecordPath(const wchar_t *suffix) {
  const std::wstring folder = Environment(L"PELMORA_DEVICE_RECORD");
  return folder.empty() ? folder : folder + L"\\" STANDIN_NAME + suffix;
}

void LoadScript() {
  Script().acceptsDeviceHandle = IsFirstPathFile;
  const std::wstring path = Environment(L"PELMORA_DEVICE_SCRIPT");
  std::string text;
  std::string error;
  if (path.empty()) {
    return; // no device present
  }
  if (!ReadWholeFile(path, text)) {
    error = "cannot read the device script";
  } else if (!ParseDeviceScript(text, Script(), error)) {
    Script() = DeviceScript();
    Script().acceptsDeviceHandle = IsFirstPathFile;
  }
  // A script the device cannot follow must fail the test, not pass silently
  // as a device that is absent.
  if (!error.empty()) {
    WriteWholeFile(RecordPath(L".error"), error + "\n");
  }
}

void SaveRecord() {
  std::string log;
  for (const std::string &call : CallLog()) {
    log += call + "\n";
  }
  WriteWholeFile(RecordPath(L".log"), log);
  WriteWholeFile(RecordPath(L".received"), ReceivedBytes());
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    LoadScript();
  } else if (reason == DLL_PROCESS_DETACH && !RecordPath(L"").empty()) {
    SaveRecord();
  }
  return TRUE;
}
