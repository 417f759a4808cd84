#pragma once

#include <string>

// The reason an operator reads for an error number: the common ones in Chinese, any other in the
// system's own words.
std::string ErrorReasonText(int error);
