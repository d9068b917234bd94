// The window icon; the flag pictures are generated from src/res at build time.
#include "toolkit/resources.h"

#include "res/forklift.xpm"

extern const char* const* const ForkliftXpm = forklift_xpm;
