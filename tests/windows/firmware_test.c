/* The unit's firmware from a file in Trelvo.dll: TRELVO_FIRMWARE, then
 * trelvo_fw.hex in the installed data directory (..\share\trelvo from the
 * DLL's bin directory), then beside the DLL (found through its module path).
 * A missing or malformed file fails the open with the no-unit code before a
 * unit is touched; a good one programs a simulated unit that needs firmware.
 * The DLL is copied into a directory of its own, so that the file beside it
 * does not reach the other test programs. */
#include <stdio.h>
#include <string.h>
#include <windows.h>

#include "check.h"
#include "trelvo/trelvo.h"

typedef __typeof__(&TrelvoGetUnitInfo) GetUnitInfoFn;
typedef __typeof__(&TrelvoOpenUnit) OpenUnitFn;
typedef __typeof__(&TrelvoCloseUnit) CloseUnitFn;

static void writeFile(const char* path, const char* text) {
    FILE* file = fopen(path, "wb");
    CHECK_MSG(file != NULL, "cannot create %s", path);
    if (!file) return;
    fputs(text, file);
    fclose(file);
}

int main(void) {
    char here[MAX_PATH], dir[MAX_PATH], dll[MAX_PATH], beside[MAX_PATH], named[MAX_PATH];
    char bin[MAX_PATH], share[MAX_PATH], data[MAX_PATH], inData[MAX_PATH];
    char source[MAX_PATH], text[64];
    DWORD n = GetModuleFileNameA(NULL, here, sizeof here);
    CHECK(n > 0 && n < sizeof here);
    *strrchr(here, '\\') = '\0';
    snprintf(source, sizeof source, "%s\\Trelvo.dll", here);
    GetTempPathA(sizeof dir, dir);
    snprintf(dir + strlen(dir), sizeof dir - strlen(dir), "trelvo-fw-%lu",
             (unsigned long)GetCurrentProcessId());
    snprintf(bin, sizeof bin, "%s\\bin", dir);
    snprintf(share, sizeof share, "%s\\share", dir);
    snprintf(data, sizeof data, "%s\\trelvo", share);
    CreateDirectoryA(dir, NULL);
    CreateDirectoryA(bin, NULL);
    CreateDirectoryA(share, NULL);
    CreateDirectoryA(data, NULL);
    snprintf(dll, sizeof dll, "%s\\Trelvo.dll", bin);
    snprintf(beside, sizeof beside, "%s\\trelvo_fw.hex", bin);
    snprintf(inData, sizeof inData, "%s\\trelvo_fw.hex", data);
    snprintf(named, sizeof named, "%s\\named.hex", dir);
    CHECK_MSG(CopyFileA(source, dll, FALSE), "cannot copy %s", source);

    HMODULE module = LoadLibraryA(dll);
    CHECK_MSG(module != NULL, "cannot load %s", dll);
    if (!module) return CHECK_SUMMARY();
    GetUnitInfoFn getUnitInfo =
        (GetUnitInfoFn)(void (*)(void))GetProcAddress(module, "TrelvoGetUnitInfo");
    OpenUnitFn openUnit = (OpenUnitFn)(void (*)(void))GetProcAddress(module, "TrelvoOpenUnit");
    CloseUnitFn closeUnit = (CloseUnitFn)(void (*)(void))GetProcAddress(module, "TrelvoCloseUnit");
    CHECK(getUnitInfo && openUnit && closeUnit);
    if (!getUnitInfo || !openUnit || !closeUnit) return CHECK_SUMMARY();

    /* One unit that must be programmed before it answers. */
    SetEnvironmentVariableA("TRELVO_SIMULATE", "12:rev2;delay=20");
    const char* good = ":03008000020080FB\r\n:00000001FF\r\n";
    const char* bad = ":03008000020080FB\r\n:0300800002008000\r\n:00000001FF\r\n";

    /* TRELVO_FIRMWARE naming a missing file, then a malformed one. */
    SetEnvironmentVariableA("TRELVO_FIRMWARE", named);
    CHECK(openUnit() == 0);
    getUnitInfo(0, text, sizeof text, 7);
    CHECK_MSG(strcmp(text, "4") == 0, "missing file: line 7 is '%s'", text);
    writeFile(named, bad);
    CHECK(openUnit() == 0);
    getUnitInfo(0, text, sizeof text, 7);
    CHECK_MSG(strcmp(text, "4") == 0, "malformed file: line 7 is '%s'", text);

    /* Without the variable, the data directory comes before the DLL's own. */
    SetEnvironmentVariableA("TRELVO_FIRMWARE", NULL);
    writeFile(inData, bad);
    writeFile(beside, good);
    CHECK(openUnit() == 0);
    getUnitInfo(0, text, sizeof text, 7);
    CHECK_MSG(strcmp(text, "4") == 0, "malformed file in the data directory: line 7 is '%s'", text);
    DeleteFileA(inData);

    /* Then the file beside the DLL is the one read. */
    writeFile(beside, bad);
    CHECK(openUnit() == 0);
    getUnitInfo(0, text, sizeof text, 7);
    CHECK_MSG(strcmp(text, "4") == 0, "malformed file beside the DLL: line 7 is '%s'", text);

    writeFile(beside, good);
    int16_t handle = openUnit();
    CHECK_MSG(handle == 1, "good file beside the DLL: handle %d", handle);
    if (handle) CHECK(closeUnit(handle) == 1);

    /* The DLL stays loaded until the process ends: a FreeLibrary right after
     * a close can unmap the DLL while the unit's worker thread is still on its
     * way out of it. The copy is left in the (temporary) Wine prefix. */
    DeleteFileA(beside);
    DeleteFileA(named);
    return CHECK_SUMMARY();
}
