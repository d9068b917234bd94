// Included ahead of every unit of the Windows build that uses the system interfaces. The system's
// <shellapi.h> and <wininet.h> need <windows.h> before them, and two of its names are macros that
// would rename our own functions (DeleteFile in sysutils.h, TApplication::MessageBox in forms.h)
// in some units and not in others; our names keep their meaning, the system's functions are
// called by their ...A names. The file, environment and launch functions among those are
// routed to their Windows-1250 forms (cp1250-win32.h).
#pragma once

#include <windows.h>

#undef DeleteFile
#undef MessageBox

#include "cp1250-win32.h"
