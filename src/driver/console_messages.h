// SPDX-License-Identifier: MIT
// The two message channels and every text the program prints on them.
#pragma once

// Progress: wide formatted print to standard output. Callers print only in
// verbose mode.
void PrintProgress(const wchar_t *format, ...);

// Diagnostic: the message, ": ", the error text of the current errno and a
// line end, written at once to standard error, in every mode.
void PrintDiagnostic(const wchar_t *message);

// Progress texts.
inline constexpr wchar_t MSG_BANNER[] = L"pelmora WinUSB test application.\n";
inline constexpr wchar_t MSG_GUID_PREFIX[] = L"DeviceInterface GUID to search for: ";
inline constexpr wchar_t MSG_GUID_BYTE[] = L"%02X-";
inline constexpr wchar_t MSG_LINE_END[] = L"\n";
inline constexpr wchar_t MSG_OPEN_DEVICE[] = L"OpenDevice() returned: 0x%08X\n";
inline constexpr wchar_t MSG_INITIALIZE_TRUE[] = L"WinUsb_Initialize() returned TRUE.\n";
inline constexpr wchar_t MSG_INITIALIZE_FALSE[] = L"WinUsb_Initialize() returned FALSE.\n";
inline constexpr wchar_t MSG_DEVICE_INFORMATION_TRUE[] =
    L"WinUsb_QueryDeviceInformation() returned TRUE.\n";
inline constexpr wchar_t MSG_DEVICE_INFORMATION_FALSE[] =
    L"WinUsb_QueryDeviceInformation() returned FALSE.\n";
inline constexpr wchar_t MSG_INTERFACE_SETTINGS_TRUE[] =
    L"WinUsb_QueryInterfaceSettings() returned TRUE.\n";
inline constexpr wchar_t MSG_INTERFACE_SETTINGS_FALSE[] =
    L"WinUsb_QueryInterfaceSettings() returned FALSE.\n";
inline constexpr wchar_t MSG_ATTEMPTING_WRITE[] = L"Attempting WinUsb_WritePipe() for %d bytes.\n";

// Diagnostic texts.
inline constexpr wchar_t MSG_CANNOT_SET_STDOUT[] = L"Cannot set mode (for stdout)";
inline constexpr wchar_t MSG_CANNOT_SET_STDIN[] = L"Cannot set mode (for stdin)";
inline constexpr wchar_t MSG_LOOKUP_STARTED[] = L"GetDevicePath.\n";
inline constexpr wchar_t MSG_LOOKUP_TRUE[] = L"GetDevicePath() returned TRUE.\n";
inline constexpr wchar_t MSG_LOOKUP_FALSE[] = L"GetDevicePath() returned FALSE.\n";
inline constexpr wchar_t MSG_WRITE_PIPE_FALSE[] = L"WinUsb_WritePipe() returned FALSE.\n";
inline constexpr wchar_t MSG_READ_PIPE_FALSE[] = L"WinUsb_ReadPipe() returned FALSE.\n";
inline constexpr wchar_t MSG_CANNOT_READ_STDIN[] = L"Cannot read from stdin";
inline constexpr wchar_t MSG_CANNOT_WRITE_STDOUT[] = L"Cannot write to stdout";
