// work_file.h - the file that helper and script records write their
// program to before running it: "vninstall-temp.exe" in the temporary
// directory, shared by both record types one record after the other.
#ifndef VNINSTALL_WORK_FILE_H
#define VNINSTALL_WORK_FILE_H

#include <sys/types.h>

#include <cstddef>

constexpr size_t WORK_PATH_SIZE = 1024;

// Builds the path into a WORK_PATH_SIZE buffer; false when it does not fit.
bool work_file_path(char* path);

// Prints a message whose one %s is the whole path, however long.
void print_with_work_path(const char* format);

// Creates the work file afresh for writing: whatever stands at the path
// (a file left behind, a planted symbolic link) is removed, and the new file
// is created exclusively without following links. The descriptor, or -1.
int create_work_file(const char* path, mode_t mode);

// Prints the message (a format with one %s for the whole path, however
// long) and ends the run with status 1.
[[noreturn]] void work_file_creation_failed(const char* format);

// Runs a command line through the shell as a program started from a plain
// shell would run: SIGPIPE ends it. The installer waits for it. Returns
// the status system() gives.
int run_shell_command(const char* command);

// When the child of that status was ended from the terminal (Ctrl-C,
// Ctrl-\), the user meant the installation to stop too: while system()
// waits, those signals do not reach the installer, so it ends itself the
// same way here, after removing work_path (or null).
void stop_if_interrupted(int status, const char* work_path);

// Runs the work file through the shell, its path quoted so that nothing in
// the temporary directory's name is taken as shell syntax; argument (or
// null) follows it unquoted. Standard output is flushed first so that the
// program's output comes after the installer's. False, with a message,
// when the file cannot be run at all (no execute permission, a file system
// mounted without it, no process to be had); the exit status of the
// program itself is not looked at.
bool run_work_file(const char* path, const char* argument);

#endif  // VNINSTALL_WORK_FILE_H
