/*
 * A stand-in for a DLL that a web page drops into the Downloads folder beside the installer,
 * named like a system DLL (wininet.dll). Loaded into a process, it leaves the file
 * planted-dll-loaded.txt beside itself, so that a test can tell whether the installer loaded it.
 * It exports nothing: a program that imports from it statically fails to start, after loading it.
 */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE Instance, DWORD Reason, LPVOID Reserved) {
  (void)Reserved;
  if (Reason != DLL_PROCESS_ATTACH) return TRUE;
  WCHAR Path[MAX_PATH + 32];
  const DWORD Length = GetModuleFileNameW(Instance, Path, MAX_PATH);
  if (Length == 0 || Length >= MAX_PATH) return TRUE;
  DWORD Cut = Length;
  while (Cut > 0 && Path[Cut - 1] != L'\\' && Path[Cut - 1] != L'/') --Cut;
  lstrcpyW(Path + Cut, L"planted-dll-loaded.txt");
  const HANDLE File =
      CreateFileW(Path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (File != INVALID_HANDLE_VALUE) {
    DWORD Written = 0;
    WriteFile(File, "loaded\r\n", 8, &Written, NULL);
    CloseHandle(File);
  }
  return TRUE;
}
