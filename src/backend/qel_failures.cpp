// The texts of the library's failures, from the message catalogue.
#include "qel_failures.h"

#include "message.h"

std::string CatalogueText(const QELFailure& failure) { return Message("")[failure.message_id]; }

std::string CodeTag(const QELFailure& failure) { return " [" + std::to_string(failure.code) + "]"; }
