#pragma once

#include <string>

// The computer's DNS host name with the letters a-z upper-cased, as debug file names and
// the fallback trace's file name carry it; empty when the system cannot tell it.
std::wstring UpperCaseHostName();
