#include "BuildInfo.h"

const char* getProjectVersion() { return "1.0.34"; }
const char* getProgramDescription() { return "Corvane"; }
const char* getDefaultDevice() { return "/dev/paperTicketDispenser"; }
const char* getDefaultConfigFile() { return "./corvane.json"; }
const char* getProgramBuildDate() { return __DATE__; }
const char* getProgramBuildTime() { return __TIME__; }
