/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_rb_value.h>, for programs that include it as
/// <qel_rb_value.h>.
#pragma once

#include <zor-qel-rb-key/qel_rb_value.h>
