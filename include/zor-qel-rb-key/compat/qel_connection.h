/// \file
/// Release 3.0's name of <zor-qel-rb-key/qel_connection.h>, for programs that include it as
/// <qel_connection.h>.
#pragma once

#include <zor-qel-rb-key/qel_connection.h>
