/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_no_case_string.h>, for programs that include it as
/// <qel_no_case_string.h>.
#pragma once

#include <zor-qel-rb-key/qel_no_case_string.h>
