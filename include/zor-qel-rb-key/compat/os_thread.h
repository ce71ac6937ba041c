/// \file
/// Release 3.0's name of <zor-qel-rb-key/os_thread.h>, for programs that include it as
/// <os_thread.h>.
#pragma once

#include <zor-qel-rb-key/os_thread.h>
