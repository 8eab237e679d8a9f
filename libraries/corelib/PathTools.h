#pragma once
// Path texts: normalising, taking apart and expanding paths, under one of two rule sets.
//
// Windows rules: the separator is the backslash, "/" is accepted and turned into a backslash;
// drive prefixes ("C:"), UNC paths ("\\server\share") and the special whole paths "\c:",
// "\systemroot" and "\??" are known. POSIX rules: the separator is "/", a backslash is an
// ordinary character, an absolute path starts with "/".
// Every function takes the rule set as its last argument, the build platform's by default.
//
//   normalisePath("C:/a/./b/../c/", PathStyle::Windows)   // "C:\a\c\"
//   normalisePath("/a/./b/../c", PathStyle::Posix)        // "/a/c"
//   expandPath("$HOME/x")                                 // "/home/me/x"
//
// None of these functions throws; they report by result.

#include <functional>
#include <string>

#include "corelib/ParamStream.h"

namespace KelvraCorelib {

enum class PathStyle { Native, Posix, Windows };

// Native replaced by the build platform's rule set.
PathStyle effectiveStyle(PathStyle style);

// The text of one separator (a shared constant).
const std::string& separator(PathStyle style = PathStyle::Native);
// Windows: backslash or "/"; POSIX: "/".
bool isSeparator(char c, PathStyle style = PathStyle::Native);

// Windows: every "/" becomes a backslash, in place. POSIX: the path is left as it is.
void toBackslashes(std::string& path, PathStyle style = PathStyle::Native);

// Appends a separator unless the path is empty or already ends in one.
std::string addTrailingSeparator(const std::string& path, PathStyle style = PathStyle::Native);
// The name below dir: addTrailingSeparator(dir) + name.
std::string joinPath(const std::string& dir, const std::string& name, PathStyle style = PathStyle::Native);

// Normalises slashes and removes every trailing separator. Windows rules stop at the empty
// text ("\" gives ""); POSIX rules keep the root ("/" stays "/").
std::string stripTrailingSeparators(const std::string& path, PathStyle style = PathStyle::Native);

// Normalises slashes; drops empty and "." segments; a ".." removes the nearest kept segment
// that is not "..", or stays. Leading separators (two for UNC), and a trailing one, are kept.
// A ".." directly below the root of "/x", "\x" or "C:\x" is dropped (there is nothing above
// the root), and a path that resolves to nothing keeps no trailing separator.
//   "a\.\b\..\.." gives "", "..\..\x" stays, "\\srv\share\..\x" gives "\\srv\x".
std::string normalisePath(const std::string& path, PathStyle style = PathStyle::Native);

// Windows: a ":" after at least one character ("C:x", "C:\x"), or a UNC path with a separator
// after the server name ("\\srv\share"); "\x" is not absolute. POSIX: starts with "/".
bool isAbsolutePath(const std::string& path, PathStyle style = PathStyle::Native);

// A path that is not absolute becomes base + separator + path; the result is normalised.
std::string makeAbsolute(const std::string& path, const std::string& base, PathStyle style = PathStyle::Native);

// Windows: "C:" for "C:\x" (up to the first ":" when a ":\" follows at least one character),
// "\\srv" for "\\srv\share"; otherwise empty. POSIX: "/" for an absolute path, else empty.
std::string rootOf(const std::string& path, PathStyle style = PathStyle::Native);

// The text after the last "." when it follows the last separator, otherwise empty.
std::string extensionOf(const std::string& path, PathStyle style = PathStyle::Native);
WideString extensionOf(const WideString& path, PathStyle style = PathStyle::Native);

// Normalises slashes; the text before the last separator (for a path ending in a separator,
// before the one before it); empty when there is none. POSIX rules give "/" for "/a".
std::string parentDirectory(const std::string& path, PathStyle style = PathStyle::Native);

// Looks a name up in the environment: true and its value when it is set.
using EnvironmentLookup = std::function<bool(const std::string& name, std::string& value)>;

// Normalises slashes, then replaces every %NAME% whose name is set, and every $NAME that is
// followed by a separator and set (the separator stays); names that are not set, and "%%",
// stay as they are. Windows rules then map the special whole paths: "\c:" (any case) to "C:",
// "\systemroot" to the Windows directory (where the system has one), "\??" to "".
// Without a lookup the process environment is used.
std::string expandPath(const std::string& path, PathStyle style = PathStyle::Native,
                       const EnvironmentLookup& lookup = EnvironmentLookup());

// Windows: the system's long form of the path (an empty or UNC path, or a failure, leaves
// it unchanged). POSIX: the path itself.
std::string longPath(const std::string& path, PathStyle style = PathStyle::Native);

// expandPath, normalisePath, longPath: for every path that a user configures.
std::string fullNormalise(const std::string& path, PathStyle style = PathStyle::Native);

// The process's current directory; empty on failure.
std::string currentDirectory();

}  // namespace KelvraCorelib
