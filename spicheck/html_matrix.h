// The part of the HTML page that a corpus of thousands of files needs:
// a matrix that opens the page, one row per file and one column per family
// of checks (ident, probe, picture or archive, wide, callback, resource,
// robust), each cell coloured by the worst verdict in it and linking to the
// file's section; and the files' sections, whose check rows, pictures and
// members are drawn by the page's script only when a section is opened,
// from compact data (each distinct picture once), so that the page of
// 10,000 files stays a few megabytes.
#ifndef SPICHECK_HTML_MATRIX_H
#define SPICHECK_HTML_MATRIX_H

#include <cstdio>
#include <string>
#include <vector>

#include "check_suites.h"
#include "html_writer.h"

// The family of a check as the matrix shows it ("probe" for file.read).
std::string CheckFamily(const char* check);

// The matrix's styles.
extern const char kMatrixStyle[];

// suites: the plug-in's, then one per file. The plug-in's row links to the
// element with id "plugin".
void PrintMatrix(FILE* out, const std::vector<CheckSuite>& suites);

// One closed section per file (suites[1..]), kept[i] what the page holds
// of file i (null: nothing), then the data and the script that draws them.
void PrintFileSections(FILE* out, const std::vector<CheckSuite>& suites,
                       const std::vector<const PageFile*>& kept);

#endif
