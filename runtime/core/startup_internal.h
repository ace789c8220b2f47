// Start-up steps of the process entry, runtime-internal (C++).
#pragma once
#include <string>

// The program's own file for argument 0: the argument itself when it holds a '/',
// otherwise the first executable regular file of that name along the search path (as
// `which` finds it, empty when none), then symbolic links followed, each link's text
// replacing the whole path. The result lives as long as the process; NULL (reported)
// when there is no argument 0 at all.
char* MVFindProgramPath(const char* argument0);
// The same, with the search path and a limit of links to follow given (tests).
std::string MVResolveProgramPath(const char* argument0, const char* searchPath, int maxLinks);
// The folder holding `path`, absolute against `cwd`, without a trailing '/' ("/" for
// the root).
std::string MVFolderOfPath(const std::string& path, const std::string& cwd);
// The application path stored by RuntimeSetApplicationPath (borrowed, may be nil).
struct MVString;
MVString* MVApplicationPath();
