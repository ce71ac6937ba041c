// What qelreg needs of the operating system beyond the library: the terminal, standard output,
// new private files and directories. One file per platform implements it.
// Thread safety: qelreg is single-threaded; none of these may be called from two threads at once.
#pragma once

#include <csignal>
#include <string>
#include <vector>

namespace qelreg {

// The arguments of the call after the program's name, in UTF-8 (on Windows from the wide
// command line, whatever the code page).
std::vector<std::string> CommandLineArguments(int argc, char** argv);

// Whether standard input is a terminal a question can be asked on.
bool InteractiveInput();

// Whether standard error is a terminal, where a long change reports its progress.
bool InteractiveErrors();

// Shows `prompt` on standard error and reads one line from the terminal with echo turned off.
// Throws ToolError when no line comes.
std::string ReadHidden(const std::string& prompt);

// Makes the missing file `path`, empty and readable by its owner only (mode 0600; on Windows
// the directory's ACL); returns false when it exists (perhaps made by another process just
// now). Throws ToolError when it cannot be made.
bool CreatePrivateFile(const std::string& path);

// Removes the file at `path` when it is empty; quietly does nothing otherwise.
void RemoveIfEmpty(const std::string& path);

// Makes a new directory under the temporary directory, reachable by its owner only; returns its
// path. Throws ToolError when it cannot be made.
std::string MakePrivateDirectory(const std::string& name);

// Puts the null device on a closed standard descriptor, so that no file the library opens takes
// its number (and qelreg's output with it); returns whether standard output was closed. On
// Windows it also makes a console show qelreg's output as UTF-8 until qelreg ends.
bool KeepStandardFilesOpen();

// Sets `*flag` to 1 when qelreg is interrupted (Ctrl-C, SIGINT, SIGTERM) instead of ending it.
void CatchInterrupts(volatile std::sig_atomic_t* flag);

// Makes a write to a closed pipe fail with an error instead of ending the process.
void IgnoreBrokenPipe();

// Writes all of `text` to standard output; returns 0 or the errno of the failed write.
int WriteStandardOutput(const std::string& text);

}  // namespace qelreg
