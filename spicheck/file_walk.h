// The files of a run: the names on the command line, with folders walked
// and wildcards expanded here, since the Windows console passes `*.bmp`
// through as it is. Names are UTF-8 (names.h), found through the wide API.
#ifndef SPICHECK_FILE_WALK_H
#define SPICHECK_FILE_WALK_H

#include <string>
#include <vector>

// Appends the files an argument names to *files:
// - a folder: every file in it and its subfolders, each folder's entries
//   in the order of their names (ignoring case), a subfolder's files where
//   its name falls;
// - a name with * or ? in its last part: the files that match, in that
//   order (folders that match are walked);
// - anything else, or a pattern that matches nothing: the argument itself,
//   so that the file checks report what is wrong with it.
void ExpandArgument(const std::string& argument, std::vector<std::string>* files);

// The names of the files (not folders) in a folder, sorted byte by byte;
// none when it does not exist. Names in the ANSI code page, as the corpus
// and crash folders are read and written (file_bytes.h).
std::vector<std::string> FileNamesIn(const std::string& folder);

#endif
