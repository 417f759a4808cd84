#pragma once

#include <string>

// The reason an operator reads for an error number, always in Chinese: the system's own words are
// English, which the log and the messages never show. One the table does not know is named by
// its number.
std::string ErrorReasonText(int error);
