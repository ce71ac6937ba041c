// Everything a host program needs: connections, key handles, root keys, iterators, values,
// errors and the log sink.
#pragma once

#include "osl_unicode.h"
#include "qel_connection.h"
#include "qel_error.h"
#include "qel_log.h"
#include "qel_rb_iterators.h"
#include "qel_rb_key.h"
#include "qel_rb_root_key.h"
#include "qel_rb_value.h"
