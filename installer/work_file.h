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
// shell would run: SIGPIPE ends it. The installer waits for it.
void run_shell_command(const char* command);

// Runs the work file through the shell, its path quoted so that nothing in
// the temporary directory's name is taken as shell syntax; argument (or
// null) follows it unquoted. Standard output is flushed first so that the
// program's output comes after the installer's.
void run_work_file(const char* path, const char* argument);

#endif  // VNINSTALL_WORK_FILE_H
