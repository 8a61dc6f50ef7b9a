#ifndef SPICHECK_FILE_BYTES_H
#define SPICHECK_FILE_BYTES_H

#include <string>

// A whole file read into bytes, appended to *bytes; false when it cannot be
// opened.
bool ReadBytes(const std::string& path, std::string* bytes);
// bytes written as the whole file at path; false when any of it was not.
bool SaveBytes(const std::string& path, const std::string& bytes);

#endif
