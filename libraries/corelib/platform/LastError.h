#pragma once
// Within the platform layer only: the error number of the system call that just failed
// (errno on POSIX, GetLastError on Windows); a general failure when the system left none.

namespace KelvraCorelib::Platform {

int lastError();

}  // namespace KelvraCorelib::Platform
