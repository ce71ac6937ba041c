// GetVersionsList_QELRB_Key: the library's version record, followed by those of the modules it
// stands on.
#include <zor-qel-rb-key/qel_rb_root_key.h>
#include <zor-qel-rb-key/qel_rb_value.h>
#include "osl_versions.h"

namespace {

// Built once, on the first call; the initialisation of a local static is safe when two threads
// make that first call together.
const std::string& VersionRecord() {
  // Kept for 3.0 programs: see docs/compatibility.md.
  static const std::string record = std::string("<<<VER_INFO>>>|") + "zor-qel-rb-key" + "|" +
                                    "300" + "|" + "1" + "|" + "src\\qel_ver";
  return record;
}

}  // namespace

void GetVersionsList_QELRB_Key(std::map<std::string, std::string>& versions) {
  versions["zor-qel-rb-key"] = VersionRecord();
  GetVersionsList_QELRB_Value(versions);
  GetVersionsList_strings(versions);
  GetVersionsList_misc(versions);
  GetVersionsList_log(versions);
}
