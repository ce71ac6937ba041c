/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_shared_pointer.h>, for programs that include it as
/// <qel_shared_pointer.h>.
#pragma once

#include <zor-qel-rb-key/qel_shared_pointer.h>
