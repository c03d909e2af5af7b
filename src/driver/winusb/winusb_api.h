// The SetupAPI, file and WinUSB calls of the WinUSB host, as a table of
// function pointers. The system's table loads setupapi.dll and winusb.dll at
// the first look for units (Trelvo.dll links only kernel32, user32, msvcrt
// and version); tests hand the host a table of fakes instead.
#pragma once

#include <windows.h>
// windows.h first: the SetupAPI and WinUSB headers depend on it.
#include <setupapi.h>
#include <winusb.h>

namespace trelvo::driver {

// The device interface that trelvo-winusb.inf gives every identity it binds
// (the unit, its blank state and the chip makers' blank controllers).
// {C65946E7-362C-46F1-967B-39A19C8037DF}
constexpr GUID kTrelvoInterfaceGuid = {
    0xc65946e7, 0x362c, 0x46f1, {0x96, 0x7b, 0x39, 0xa1, 0x9c, 0x80, 0x37, 0xdf}};

struct WinusbApi {
    // SetupAPI: the present device interfaces of a class and their devices'
    // properties.
    decltype(&::SetupDiGetClassDevsA) getClassDevs = nullptr;
    decltype(&::SetupDiEnumDeviceInterfaces) enumDeviceInterfaces = nullptr;
    decltype(&::SetupDiGetDeviceInterfaceDetailA) getDeviceInterfaceDetail = nullptr;
    decltype(&::SetupDiGetDeviceRegistryPropertyA) getDeviceRegistryProperty = nullptr;
    decltype(&::SetupDiDestroyDeviceInfoList) destroyDeviceInfoList = nullptr;

    // The device file of an interface path.
    decltype(&::CreateFileA) createFile = nullptr;
    decltype(&::CloseHandle) closeHandle = nullptr;

    // WinUSB, Windows 7 and later.
    decltype(&::WinUsb_Initialize) initialize = nullptr;
    decltype(&::WinUsb_Free) free = nullptr;
    decltype(&::WinUsb_GetDescriptor) getDescriptor = nullptr;
    decltype(&::WinUsb_SetCurrentAlternateSetting) setCurrentAlternateSetting = nullptr;
    decltype(&::WinUsb_SetPipePolicy) setPipePolicy = nullptr;
    decltype(&::WinUsb_ControlTransfer) controlTransfer = nullptr;
    decltype(&::WinUsb_ReadPipe) readPipe = nullptr;
    decltype(&::WinUsb_WritePipe) writePipe = nullptr;
    decltype(&::WinUsb_ResetPipe) resetPipe = nullptr;
    decltype(&::WinUsb_AbortPipe) abortPipe = nullptr;
    decltype(&::WinUsb_GetOverlappedResult) getOverlappedResult = nullptr;

    // Isochronous transfers, Windows 8.1 and later: null on older systems,
    // where the stream cannot start (everything else works).
    decltype(&::WinUsb_RegisterIsochBuffer) registerIsochBuffer = nullptr;
    decltype(&::WinUsb_UnregisterIsochBuffer) unregisterIsochBuffer = nullptr;
    decltype(&::WinUsb_ReadIsochPipeAsap) readIsochPipeAsap = nullptr;

    bool hasIsochronous() const {
        return registerIsochBuffer && unregisterIsochBuffer && readIsochPipeAsap;
    }
};

// The system's calls, loaded once; nullptr when setupapi.dll or winusb.dll
// (or one of the calls every unit needs) is missing. Thread-safe. The DLLs
// stay loaded for the life of the process.
const WinusbApi* systemWinusbApi();

}  // namespace trelvo::driver
