#pragma once
// Logger: log records published on the message hub, and the source annotation of errors.

#include <string>

namespace KelvraCorelib {

// " @logsrc{file=\"main.cpp\" line=42};" for ("src\\main.cpp", 42): the part after the
// last backslash (or slash) of the path, and the line.
std::string sourceLocation(const std::string& filePath, int line);

}  // namespace KelvraCorelib

// The annotation of the place where it is written.
#define KELVRA_HERE ::KelvraCorelib::sourceLocation(__FILE__, __LINE__)
