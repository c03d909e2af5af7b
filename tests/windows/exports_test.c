/* Trelvo.dll as an application sees it: loaded with LoadLibrary, every
 * function resolved by plain name, decorated name (32-bit only) and ordinal, the version
 * read through the real version resource, the error line of a fresh library,
 * opening without any device file, a firmware download, unloading with a unit
 * open (by FreeLibrary and by the end of the process), and a unit held by
 * another process. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "check.h"
#include "trelvo/trelvo.h"

typedef __typeof__(&TrelvoGetUnitInfo) GetUnitInfoFn;
typedef __typeof__(&TrelvoOpenUnit) OpenUnitFn;
typedef __typeof__(&TrelvoOpenUnitAsync) OpenUnitAsyncFn;
typedef __typeof__(&TrelvoOpenUnitProgress) OpenUnitProgressFn;
typedef __typeof__(&TrelvoCloseUnit) CloseUnitFn;
typedef __typeof__(&TrelvoSetInterval) SetIntervalFn;
typedef __typeof__(&TrelvoRun) RunFn;

/* The 32-bit DLL exports every function under its plain name (ordinals
 * 1-16) and its stdcall-decorated name (17-32); the 64-bit one, whose single
 * calling convention has no decoration, under its plain name only. */
#if defined(_WIN64)
#define DECORATED_NAMES 0
#else
#define DECORATED_NAMES 1
#endif
enum { kExportCount = 16, kOrdinalCount = DECORATED_NAMES ? 2 * kExportCount : kExportCount };

/* The sixteen exports in ASCII order, with the bytes of their arguments. */
static const struct {
    const char* name;
    int argumentBytes;
} kExports[16] = {
    {"TrelvoApplyFix", 8},
    {"TrelvoCloseUnit", 4},
    {"TrelvoGetTimesAndValues", 16},
    {"TrelvoGetUnitInfo", 16},
    {"TrelvoGetValue", 12},
    {"TrelvoGetValues", 12},
    {"TrelvoMaxValue", 8},
    {"TrelvoOpenUnit", 0},
    {"TrelvoOpenUnitAsync", 0},
    {"TrelvoOpenUnitProgress", 8},
    {"TrelvoReady", 4},
    {"TrelvoRun", 12},
    {"TrelvoSetDo", 12},
    {"TrelvoSetInterval", 20},
    {"TrelvoSetTrigger", 32},
    {"TrelvoStop", 4},
};

typedef struct {
    HMODULE module;
    GetUnitInfoFn getUnitInfo;
    OpenUnitFn openUnit;
    OpenUnitAsyncFn openUnitAsync;
    OpenUnitProgressFn openUnitProgress;
    CloseUnitFn closeUnit;
    SetIntervalFn setInterval;
    RunFn run;
} Library;

static FARPROC byOrdinal(HMODULE module, int ordinal) {
    return GetProcAddress(module, (LPCSTR)(ULONG_PTR)ordinal);
}

/* Loads Trelvo.dll (found beside this program) and resolves what the tests
 * call, each through a different one of the ways the DLL offers. */
static int loadLibrary(Library* library) {
    memset(library, 0, sizeof *library);
    library->module = LoadLibraryA("Trelvo.dll");
    CHECK_MSG(library->module != NULL, "LoadLibrary failed, error %lu", GetLastError());
    if (!library->module) return 0;
    library->getUnitInfo =
        (GetUnitInfoFn)(void (*)(void))GetProcAddress(library->module, "TrelvoGetUnitInfo");
#if DECORATED_NAMES
    library->openUnit =
        (OpenUnitFn)(void (*)(void))GetProcAddress(library->module, "_TrelvoOpenUnit@0");
    library->openUnitProgress = (OpenUnitProgressFn)(void (*)(void))byOrdinal(library->module, 26);
    library->setInterval =
        (SetIntervalFn)(void (*)(void))GetProcAddress(library->module, "_TrelvoSetInterval@20");
#else
    library->openUnit = (OpenUnitFn)(void (*)(void))byOrdinal(library->module, 8);
    library->openUnitProgress = (OpenUnitProgressFn)(void (*)(void))byOrdinal(library->module, 10);
    library->setInterval =
        (SetIntervalFn)(void (*)(void))GetProcAddress(library->module, "TrelvoSetInterval");
#endif
    library->openUnitAsync = (OpenUnitAsyncFn)(void (*)(void))byOrdinal(library->module, 9);
    library->closeUnit =
        (CloseUnitFn)(void (*)(void))GetProcAddress(library->module, "TrelvoCloseUnit");
    library->run = (RunFn)(void (*)(void))GetProcAddress(library->module, "TrelvoRun");
    const int resolved = library->getUnitInfo && library->openUnit && library->openUnitAsync &&
                         library->openUnitProgress && library->closeUnit && library->setInterval &&
                         library->run;
    CHECK_MSG(resolved, "an export the tests call is missing");
    return resolved;
}

static int16_t infoLine(const Library* library, int16_t handle, int16_t line, char* text,
                        int16_t length) {
    memset(text, 'x', (size_t)length);
    return library->getUnitInfo(handle, text, length, line);
}

static void checkExportTable(HMODULE module) {
    FARPROC entries[16];
    for (int i = 0; i < kExportCount; ++i) {
        char decorated[64];
        snprintf(decorated, sizeof decorated, "_%s@%d", kExports[i].name,
                 kExports[i].argumentBytes);
        FARPROC plain = GetProcAddress(module, kExports[i].name);
        FARPROC byDecorated = GetProcAddress(module, decorated);
        FARPROC plainOrdinal = byOrdinal(module, i + 1);
        CHECK_MSG(plain != NULL, "%s not exported", kExports[i].name);
        CHECK_MSG(plainOrdinal == plain, "ordinal %d is not %s", i + 1, kExports[i].name);
#if DECORATED_NAMES
        FARPROC decoratedOrdinal = byOrdinal(module, i + 17);
        CHECK_MSG(byDecorated == plain, "%s is not the same entry as %s", decorated,
                  kExports[i].name);
        CHECK_MSG(decoratedOrdinal == plain, "ordinal %d is not %s", i + 17, decorated);
#else
        CHECK_MSG(byDecorated == NULL, "%s is exported by the 64-bit DLL", decorated);
#endif
        /* The compiler's own spelling of an exported stdcall function
         * (TrelvoRun@12) must not leak in as another name. */
        CHECK_MSG(GetProcAddress(module, decorated + 1) == NULL, "%s is exported", decorated + 1);
        entries[i] = plain;
    }
    for (int i = 0; i < kExportCount; ++i)
        for (int j = i + 1; j < kExportCount; ++j)
            CHECK_MSG(entries[i] != entries[j], "%s and %s share an entry point", kExports[i].name,
                      kExports[j].name);
    /* The capture-status extension, where it is built, follows the sixteen:
     * plain at 33 and decorated (_TrelvoGetCaptureStatus@8) at 34 in the
     * 32-bit DLL, plain at 17 in the 64-bit one. Nothing comes after it. */
    int next = kOrdinalCount + 1;
    FARPROC status = GetProcAddress(module, "TrelvoGetCaptureStatus");
    if (status) {
        CHECK_MSG(byOrdinal(module, next) == status, "ordinal %d is not TrelvoGetCaptureStatus",
                  next);
        ++next;
#if DECORATED_NAMES
        CHECK(GetProcAddress(module, "_TrelvoGetCaptureStatus@8") == status);
        CHECK_MSG(byOrdinal(module, next) == status, "ordinal %d is not _TrelvoGetCaptureStatus@8",
                  next);
        ++next;
#endif
    }
    CHECK_MSG(byOrdinal(module, next) == NULL, "ordinal %d is exported", next);
}

/* The version resource as the system reads it: fixed file version 1.0.4.0
 * and the English (United Kingdom) / Unicode translation. */
static void checkVersionResource(HMODULE module) {
    char path[MAX_PATH];
    DWORD ignored = 0;
    CHECK(GetModuleFileNameA(module, path, sizeof path) > 0);
    DWORD size = GetFileVersionInfoSizeA(path, &ignored);
    CHECK(size > 0);
    if (size == 0) return;
    char* data = (char*)malloc(size);
    CHECK(GetFileVersionInfoA(path, 0, size, data));
    VS_FIXEDFILEINFO* fixed = NULL;
    UINT length = 0;
    CHECK(VerQueryValueA(data, "\\", (void**)&fixed, &length) && fixed);
    if (fixed) {
        CHECK(fixed->dwFileVersionMS == 0x00010000 && fixed->dwFileVersionLS == 0x00040000);
        CHECK(fixed->dwFileType == VFT_DLL);
    }
    /* The lookup that information line 0 relies on reports the length with
     * the terminating zero. */
    char* text = NULL;
    CHECK(VerQueryValueA(data, "\\StringFileInfo\\080904b0\\FileVersion", (void**)&text, &length) &&
          text);
    CHECK_MSG(length == 8 && text && strcmp(text, "1.0.4.0") == 0, "FileVersion \"%.20s\", %u",
              text ? text : "", length);
    WORD* translation = NULL;
    CHECK(VerQueryValueA(data, "\\VarFileInfo\\Translation", (void**)&translation, &length) &&
          length >= 4);
    if (translation && length >= 4) CHECK(translation[0] == 0x0809 && translation[1] == 1200);
    free(data);
}

static void testFreshLibraryWithoutDevices(void) {
    SetEnvironmentVariableA("TRELVO_SIMULATE", NULL);
    Library library;
    if (!loadLibrary(&library)) return;
    checkExportTable(library.module);
    checkVersionResource(library.module);

    char text[64];
    /* Line 0 counts the terminating zero; the handle does not matter. */
    CHECK(infoLine(&library, 0, 0, text, sizeof text) == 8);
    CHECK_MSG(strcmp(text, "1.0.4.0") == 0, "line 0 is \"%.20s\"", text);
    CHECK(infoLine(&library, 17, 0, text, sizeof text) == 8 && strcmp(text, "1.0.4.0") == 0);

    CHECK(infoLine(&library, 0, 7, text, sizeof text) == 1);
    CHECK_MSG(strcmp(text, "1") == 0, "line 7 of a fresh library is \"%.20s\"", text);

    /* No device file exists: no unit found, reported as 4. */
    CHECK(library.openUnit() == 0);
    CHECK(infoLine(&library, 0, 7, text, sizeof text) == 1);
    CHECK_MSG(strcmp(text, "4") == 0, "line 7 after a failed open is \"%.20s\"", text);

    /* The background open fails as well; its thread's exit code says so. */
    int16_t started = library.openUnitAsync();
    CHECK_MSG(started == 0 || started == 1, "TrelvoOpenUnitAsync gave %d", started);
    int16_t handle = -1;
    int16_t progress = -1;
    if (started == 1) {
        DWORD deadline = GetTickCount() + 25000;
        int16_t finished = 0;
        while ((finished = library.openUnitProgress(&handle, &progress)) == 0 &&
               (LONG)(deadline - GetTickCount()) > 0)
            Sleep(10);
        CHECK(finished == 1 && handle == 0 && progress == 100);
    }
    handle = -1;
    CHECK(library.openUnitProgress(&handle, NULL) == -1 && handle == 0);

    CHECK(FreeLibrary(library.module));
}

/* Runs this program again with `mode`; returns its exit code, or -1 when it
 * did not end within 45 s (it is then terminated). */
static int runChild(const char* mode) {
    char path[MAX_PATH];
    char commandLine[MAX_PATH + 64];
    GetModuleFileNameA(NULL, path, sizeof path);
    snprintf(commandLine, sizeof commandLine, "\"%s\" %s", path, mode);
    STARTUPINFOA startup;
    PROCESS_INFORMATION process;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    if (!CreateProcessA(path, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process)) {
        printf("CreateProcess failed, error %lu\n", GetLastError());
        return -2;
    }
    int result = -1;
    if (WaitForSingleObject(process.hProcess, 45000) == WAIT_OBJECT_0) {
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result = (int)code;
    } else {
        TerminateProcess(process.hProcess, 99);
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

/* Child: opens a simulated unit, starts a continuous capture and returns
 * from main, so the library is unloaded by the end of the process while its
 * worker was running. */
static int childExitWithOpenUnit(void) {
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit");
    Library library;
    if (!loadLibrary(&library)) return 3;
    int16_t handle = library.openUnit();
    if (handle != 1) return 2;
    const int16_t channels[1] = {1};
    library.setInterval(handle, 10000, 10, channels, 1);
    library.run(handle, 1000, TRELVO_METHOD_STREAM);
    Sleep(100);
    return 0;
}

/* Child: tries to open device file 0 while the parent holds it; returns 10
 * plus the handle it got. */
static int childTryOpen(void) {
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit");
    Library library;
    if (!loadLibrary(&library)) return 3;
    return 10 + library.openUnit();
}

/* Child: FreeLibrary with a capture running closes the unit: the unload
 * returns promptly, and a newly loaded library can claim the same unit
 * again. Runs in a child so that an unload that never returns is reported
 * rather than hanging the test. */
static int childUnloadWithOpenUnit(void) {
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit");
    Library library;
    if (!loadLibrary(&library)) return 3;
    int16_t handle = library.openUnit();
    CHECK_MSG(handle == 1, "simulated open gave %d", handle);
    const int16_t channels[1] = {1};
    CHECK(library.setInterval(handle, 10000, 10, channels, 1) > 0);
    CHECK(library.run(handle, 1000, TRELVO_METHOD_STREAM) == 1);

    DWORD started = GetTickCount();
    CHECK(FreeLibrary(library.module));
    DWORD elapsed = GetTickCount() - started;
    /* About 60 ms when the machine is idle; a deadlock under the loader lock
     * never returns and the parent reports it after 45 s. */
    CHECK_MSG(elapsed < 15000, "unloading took %lu ms", elapsed);

    if (!loadLibrary(&library)) return 3;
    char text[64];
    CHECK(infoLine(&library, 0, 7, text, sizeof text) == 1 && strcmp(text, "1") == 0);
    handle = library.openUnit();
    CHECK_MSG(handle == 1, "reopening after the unload gave %d", handle);
    CHECK(library.closeUnit(handle) == 1);
    CHECK(FreeLibrary(library.module));
    return g_checksFailed == 0 ? 0 : 1;
}

/* The library in a directory whose path leaves its file name just short of
 * MAX_PATH (258 characters): line 0 still finds the file's version. */
static void testVersionFromLongPath(void) {
    char source[MAX_PATH];
    char directory[MAX_PATH];
    char target[MAX_PATH];
    GetModuleFileNameA(NULL, source, sizeof source);
    strcpy(strrchr(source, '\\') + 1, "Trelvo.dll");
    DWORD tempLength = GetTempPathA(sizeof directory, directory);
    int padding = 258 - (int)tempLength - (int)strlen("\\Trelvo.dll");
    CHECK(tempLength > 0 && padding > 0 && padding < 250);
    if (tempLength == 0 || padding <= 0 || padding >= 250) return;
    memset(directory + tempLength, 'd', (size_t)padding);
    directory[tempLength + (size_t)padding] = '\0';
    snprintf(target, sizeof target, "%s\\Trelvo.dll", directory);
    CHECK(strlen(target) == 258);
    CreateDirectoryA(directory, NULL);
    CHECK_MSG(CopyFileA(source, target, FALSE), "copy to %s failed, error %lu", target,
              GetLastError());

    HMODULE module = LoadLibraryA(target);
    CHECK_MSG(module != NULL, "loading from the long path failed, error %lu", GetLastError());
    if (module) {
        GetUnitInfoFn getUnitInfo =
            (GetUnitInfoFn)(void (*)(void))GetProcAddress(module, "TrelvoGetUnitInfo");
        char text[64] = "";
        CHECK(getUnitInfo && getUnitInfo(0, text, sizeof text, 0) == 8);
        CHECK_MSG(strcmp(text, "1.0.4.0") == 0, "line 0 from a long path is \"%.20s\"", text);
        CHECK(FreeLibrary(module));
    }
    DeleteFileA(target);
    RemoveDirectoryA(directory);
}

/* A unit that runs firmware of another revision is programmed through the
 * driver (the path for Windows 2000 and later, from GetVersionExA) and found
 * again after it re-enumerates, while the open polls the message queue. */
static void testFirmwareDownload(void) {
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit:fw=rev2;delay=200");
    Library library;
    if (!loadLibrary(&library)) return;
    int16_t handle = library.openUnit();
    CHECK_MSG(handle == 1, "open with a firmware download gave %d", handle);
    char text[64];
    CHECK(infoLine(&library, handle, 3, text, sizeof text) == 9 && strcmp(text, "TRELVO/12") == 0);
    CHECK(library.closeUnit(handle) == 1);
    CHECK(FreeLibrary(library.module));
}

static void testProcessBoundaries(void) {
    /* Open fault: under Wine, FreeLibrary with a streaming unit now and then
     * (about one run in ten) never returns: the worker stays inside the
     * simulated driver's stream read, holding the unit's state lock, while
     * the unloading thread holds the loader lock. Until it is found the child
     * gets three tries, so a hang that happens every time still fails here. */
    int code = -1;
    for (int attempt = 0; attempt < 3 && code != 0; ++attempt)
        code = runChild("--unload-with-open-unit");
    CHECK_MSG(code == 0, "unloading with a unit open: child ended with %d", code);

    /* The end of a process with a running unit neither hangs nor fails. */
    code = runChild("--exit-with-open-unit");
    CHECK_MSG(code == 0, "child with an open unit ended with %d", code);

    /* A unit held by this process cannot be claimed by another one. */
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12bit");
    Library library;
    if (!loadLibrary(&library)) return;
    int16_t handle = library.openUnit();
    CHECK(handle == 1);
    code = runChild("--try-open");
    CHECK_MSG(code == 10, "a second process opened the held unit (exit code %d)", code);
    CHECK(library.closeUnit(handle) == 1);
    /* Released by the close: now the other process gets it. */
    code = runChild("--try-open");
    CHECK_MSG(code == 11, "the released unit could not be opened by another process (%d)", code);
    CHECK(FreeLibrary(library.module));
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "--exit-with-open-unit") == 0) return childExitWithOpenUnit();
    if (argc > 1 && strcmp(argv[1], "--try-open") == 0) return childTryOpen();
    if (argc > 1 && strcmp(argv[1], "--unload-with-open-unit") == 0)
        return childUnloadWithOpenUnit();

    testFreshLibraryWithoutDevices();
    testVersionFromLongPath();
    testFirmwareDownload();
    testProcessBoundaries();
    return CHECK_SUMMARY();
}
