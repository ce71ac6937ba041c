// The OS layer's version records.
#include "osl_versions.h"

void GetVersionsList_strings(std::map<std::string, std::string>& versions) {
  versions["zor-qel-osl-strings"] = "<<<VER_INFO>>>|zor-qel-osl-strings|300|1|base/osl";
}

void GetVersionsList_misc(std::map<std::string, std::string>& versions) {
  versions["zor-qel-osl-misc"] = "<<<VER_INFO>>>|zor-qel-osl-misc|300|1|base/osl";
}

void GetVersionsList_log(std::map<std::string, std::string>& versions) {
  versions["zor-qel-osl-log"] = "<<<VER_INFO>>>|zor-qel-osl-log|300|1|base/osl";
}
