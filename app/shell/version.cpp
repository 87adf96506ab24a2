#include "app/shell/version.h"

const char* ProgramVersion() { return QUORVEX_VERSION; }
