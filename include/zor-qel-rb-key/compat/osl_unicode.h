/// \file
/// Release 3.0's name of <zor-qel-rb-key/osl_unicode.h>, for programs that include it as
/// <osl_unicode.h>.
#pragma once

#include <zor-qel-rb-key/osl_unicode.h>
