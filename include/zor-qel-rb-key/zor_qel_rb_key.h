/// \file
/// Everything a host program needs: connections, key handles, root keys, iterators, values,
/// errors and the log sink.
#pragma once

#include <zor-qel-rb-key/osl_unicode.h>
#include <zor-qel-rb-key/qel_connection.h>
#include <zor-qel-rb-key/qel_error.h>
#include <zor-qel-rb-key/qel_log.h>
#include <zor-qel-rb-key/qel_rb_iterators.h>
#include <zor-qel-rb-key/qel_rb_key.h>
#include <zor-qel-rb-key/qel_rb_root_key.h>
#include <zor-qel-rb-key/qel_rb_value.h>
