// POSIX stand-in for the shell's launch of a file.
#pragma once

#include "windows.h"

// With the verb "open" (or none), runs lpFile as a program, detached and not waited for, with
// lpParameters as its single argument (none when empty) in lpDirectory, or the current directory
// when that is null or empty. The owner gets execute permission first, since a downloaded file
// has none. Other verbs are not supported ("runas": no prompt for administrator rights here,
// but see fakes-posix.h). Returns a value above 32 on success, 32 or below on failure.
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR lpOperation, LPCSTR lpFile, LPCSTR lpParameters,
                        LPCSTR lpDirectory, int nShowCmd);
