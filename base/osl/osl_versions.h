// The OS layer's version reports: each adds its module's record to the caller's map.
#pragma once

#include <map>
#include <string>

void GetVersionsList_strings(std::map<std::string, std::string>& versions);
void GetVersionsList_misc(std::map<std::string, std::string>& versions);
void GetVersionsList_log(std::map<std::string, std::string>& versions);
