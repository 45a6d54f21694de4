#include "zrsnap/Options.h"

const char* VersionLine() { return ZRSNAP_VERSION_LINE; }
