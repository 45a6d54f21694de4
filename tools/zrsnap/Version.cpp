// SPDX-License-Identifier: Apache-2.0
#include "zrsnap/Options.h"

const char* VersionLine() { return ZRSNAP_VERSION_LINE; }
