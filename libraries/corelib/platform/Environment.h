#pragma once
// The process environment: reading, setting and removing variables.

#include <string>

namespace KelvraCorelib::Platform {

// A name that can be set: not empty, without "=" and without a zero byte.
bool validEnvironmentName(const std::string& name);

// True and the value when the variable is set (possibly to the empty text); false when not.
bool environmentVariable(const std::string& name, std::string& value);

// Sets or replaces the variable. False for a name that is not valid, or when the
// environment cannot grow.
bool setEnvironmentVariable(const std::string& name, const std::string& value);

// Removes the variable (removing one that is not set succeeds). False for a name that
// could not be set either.
bool unsetEnvironmentVariable(const std::string& name);

}  // namespace KelvraCorelib::Platform
