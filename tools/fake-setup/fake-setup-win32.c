/* The product's own installer as the end-to-end tests under wine serve it: a console-less
 * Windows program that records how it was started and ends. It writes the number of its
 * arguments, each argument and its working folder, one per line, to the file named by the
 * environment variable SETUP_RECORD, or to setup-record.txt in its working folder; the folder by
 * its long name in UTF-8, whatever the system's code page, so that any name reads back exactly
 * (a folder entered by its short name included). The record is
 * written to a temporary file first and then moved into place, so a reader never sees half of
 * it. */
#include <stdio.h>
#include <windows.h>

int main(int argc, char** argv) {
  char Record[MAX_PATH];
  char Partial[MAX_PATH + 8];
  WCHAR Current[MAX_PATH], WideFolder[MAX_PATH];
  char Folder[4 * MAX_PATH];
  DWORD Length = GetEnvironmentVariableA("SETUP_RECORD", Record, sizeof Record);
  if (Length == 0 || Length >= sizeof Record) lstrcpyA(Record, "setup-record.txt");
  if (GetCurrentDirectoryW(MAX_PATH, Current) == 0) return 2;
  if (GetLongPathNameW(Current, WideFolder, MAX_PATH) == 0) return 2;
  if (!WideCharToMultiByte(CP_UTF8, 0, WideFolder, -1, Folder, sizeof Folder, NULL, NULL)) return 2;
  wsprintfA(Partial, "%s.tmp", Record);

  FILE* Out = fopen(Partial, "w");
  if (!Out) return 3;
  fprintf(Out, "%d\n", argc - 1);
  for (int I = 1; I < argc; ++I) fprintf(Out, "%s\n", argv[I]);
  fprintf(Out, "%s\n", Folder);
  if (fclose(Out) != 0) return 4;
  return MoveFileExA(Partial, Record, MOVEFILE_REPLACE_EXISTING) ? 0 : 5;
}
