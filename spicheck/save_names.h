// Names of the files --save writes. A name comes from the plug-in (an
// archive member) and may be anything: it is reduced to one plain file
// name inside the save folder, and names already given in the run are
// numbered rather than overwritten.
#ifndef SPICHECK_SAVE_NAMES_H
#define SPICHECK_SAVE_NAMES_H

#include <functional>
#include <set>
#include <string>

// name as a single file name the file system accepts: no folders (the
// parts of a path are joined with '_', "." and ".." and a drive dropped),
// no characters Windows refuses, no trailing dots or spaces, no device
// name (CON, NUL, COM1, ...). "member" when nothing is left.
std::string SafeFileName(const std::string& name);

class SaveNames {
public:
    // A safe name for `wanted` that this run has not given yet (compared
    // without case): "a.txt", then "a-2.txt", "a-3.txt", ...
    std::string Reserve(const std::string& wanted);
    // A name given before (by an earlier process of the same run).
    void Taken(const std::string& name);
    // Told of each name Reserve gives.
    void OnReserve(std::function<void(const std::string&)> hook) { onReserve_ = std::move(hook); }

private:
    std::function<void(const std::string&)> onReserve_;
    std::set<std::string> used_;  // upper case
};

#endif
