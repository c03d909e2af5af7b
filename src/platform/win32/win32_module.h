// The module handle of Trelvo.dll, recorded by DllMain when the library is
// loaded. Only the Win32 platform layer includes this header.
#pragma once

#include <windows.h>

namespace trelvo::platform::win32 {

// Called by DllMain on DLL_PROCESS_ATTACH.
void setLibraryModule(HMODULE module);

// The handle recorded at load, or nullptr when the library was not loaded as
// a DLL (linked statically into a program).
HMODULE libraryModule();

// Set by DllMain as FreeLibrary unloads the library, before it closes the
// units: from then on no thread may run the library's code once its owner
// has let it go (see Thread::close).
void setLibraryUnloading();
bool libraryUnloading();

}  // namespace trelvo::platform::win32
