/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_export.h>, for programs that include it as
/// <qel_export.h>.
#pragma once

#include <zor-qel-rb-key/qel_export.h>
