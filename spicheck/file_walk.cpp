#include "file_walk.h"

#include <windows.h>

#include <algorithm>
#include <cstring>
#include <cwchar>

#include "names.h"
#include "win32_handles.h"

namespace {

struct Entry {
    std::wstring wide;
    std::string name;  // UTF-8
    bool folder;
};

// Names compared as Windows Explorer's plain order does, case aside; ties
// (names differing in case only, possible under Wine) by their bytes.
bool NameBefore(const Entry& a, const Entry& b) {
    int order = lstrcmpiW(a.wide.c_str(), b.wide.c_str());
    return order != 0 ? order < 0 : a.wide < b.wide;
}

// The entries FindFirstFile finds for pattern, without "." and "..".
std::vector<Entry> Find(const std::string& pattern) {
    std::vector<Entry> entries;
    WIN32_FIND_DATAW found;
    UniqueFind find(FindFirstFileW(WideName(pattern).c_str(), &found));
    if (!find.valid()) return entries;
    do {
        if (!wcscmp(found.cFileName, L".") || !wcscmp(found.cFileName, L"..")) continue;
        entries.push_back({found.cFileName, Utf8Name(found.cFileName, wcslen(found.cFileName)),
                           (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0});
    } while (FindNextFileW(find.get(), &found));
    std::sort(entries.begin(), entries.end(), NameBefore);
    return entries;
}

bool IsFolder(const std::string& path) {
    DWORD attributes = GetFileAttributesW(WideName(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string Join(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    char last = folder.back();
    return (last == '\\' || last == '/' || last == ':') ? folder + name : folder + "\\" + name;
}

void Walk(const std::string& folder, std::vector<std::string>* files, int depth) {
    // Far deeper than any sample tree; a loop of junctions ends here.
    if (depth > 64) return;
    for (const Entry& entry : Find(Join(folder, "*"))) {
        std::string path = Join(folder, entry.name);
        if (entry.folder)
            Walk(path, files, depth + 1);
        else
            files->push_back(path);
    }
}

}  // namespace

void ExpandArgument(const std::string& argument, std::vector<std::string>* files) {
    size_t split = argument.find_last_of("\\/:");
    std::string folder = split == std::string::npos ? std::string() : argument.substr(0, split + 1);
    std::string last = split == std::string::npos ? argument : argument.substr(split + 1);
    if (last.find_first_of("*?") != std::string::npos) {
        size_t before = files->size();
        for (const Entry& entry : Find(argument)) {
            std::string path = folder + entry.name;
            if (entry.folder)
                Walk(path, files, 1);
            else
                files->push_back(path);
        }
        if (files->size() == before) files->push_back(argument);
    } else if (IsFolder(argument)) {
        Walk(argument, files, 0);
    } else {
        files->push_back(argument);
    }
}

std::vector<std::string> FileNamesIn(const std::string& folder) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (find == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(find, &found));
    FindClose(find);
    std::sort(names.begin(), names.end());
    return names;
}
