#pragma once
// The process environment: reading, setting and removing variables.

#include <string>

namespace KelvraCorelib::Platform {

// True and the value when the variable is set (possibly to the empty text); false when not.
bool environmentVariable(const std::string& name, std::string& value);

// Sets or replaces the variable. False when the name is empty, contains "=" or a zero
// byte, or the environment cannot grow.
bool setEnvironmentVariable(const std::string& name, const std::string& value);

// Removes the variable (removing one that is not set succeeds). False for a name that
// could not be set either.
bool unsetEnvironmentVariable(const std::string& name);

}  // namespace KelvraCorelib::Platform
