#pragma once

// Build constants of the daemon.
const char* getProjectVersion();
const char* getProgramDescription();
const char* getDefaultDevice();
const char* getDefaultConfigFile();
const char* getProgramBuildDate();
const char* getProgramBuildTime();
