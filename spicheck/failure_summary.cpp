#include "failure_summary.h"

#include <set>
#include <vector>

#include "names.h"

std::string FailureSummary(const Report& report) {
    struct Group {
        std::set<std::string> files;
        std::vector<std::string> named;  // the first ones, in the order of the run
    };
    std::vector<Group> groups(kCheckCount);
    bool any = false;
    for (const CheckResult& r : report.Results()) {
        const CheckRow* row = CheckNamed(r.check);
        if (r.verdict != Verdict::Fail || r.file.empty() || !row) continue;
        Group& group = groups[row - kChecks];
        if (group.files.insert(r.file).second && group.named.size() < kFilesNamedPerCheck)
            group.named.push_back(ShownName(r.file));
        any = true;
    }
    if (!any) return std::string();
    std::string text = "Files that failed, by check:\n";
    for (size_t i = 0; i < kCheckCount; ++i) {
        const Group& group = groups[i];
        if (group.files.empty()) continue;
        size_t count = group.files.size();
        text += Format("  %s: %u file%s: ", kChecks[i].name, static_cast<unsigned>(count),
                       count == 1 ? "" : "s");
        for (size_t n = 0; n < group.named.size(); ++n)
            text += (n ? ", " : "") + group.named[n];
        if (count > group.named.size())
            text += Format(" and %u more", static_cast<unsigned>(count - group.named.size()));
        text += "\n";
    }
    return text;
}
