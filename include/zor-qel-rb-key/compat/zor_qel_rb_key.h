/// \file
/// Release 3.0's name of <zor-qel-rb-key/zor_qel_rb_key.h>, for programs that include it as
/// <zor_qel_rb_key.h>: everything that header declares, and the logging names of release 3.0
/// outside any namespace.
#pragma once

#include <zor-qel-rb-key/zor_qel_rb_key.h>

#include "qel_log.h"
