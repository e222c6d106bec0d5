// On Windows the SDK is the platform.
#pragma once

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <setupapi.h>
#include <winusb.h>
