#include "batch_result.h"

#include "journal.h"

namespace {

constexpr char kBatchRecord = 'B';

long long Size(size_t n) { return static_cast<long long>(n); }

}  // namespace

std::string BatchResult::Bytes(size_t index) const {
    journal::Packet p(kBatchRecord);
    p.Add(Size(index)).Add(status).Add(endsRun ? 1 : 0).Add(message).Add(releaseFailure);
    p.Add(header).Add(kind).Add(version).Add(jsonExtra).Add(identity);
    p.Add(Size(saveNames.size()));
    for (const std::string& name : saveNames) p.Add(name);
    for (const std::vector<Entry>* list : {&results, &skips}) {
        p.Add(Size(list->size()));
        for (const Entry& e : *list)
            p.Add(static_cast<long long>(e.verdict)).Add(static_cast<long long>(e.check))
                .Add(e.file).Add(e.reason);
    }
    p.Add(Size(spans.size()));
    for (const FileSpan& span : spans) p.Add(span.file).Add(Size(span.first)).Add(Size(span.end));
    p.Add(Size(pages.size()));
    for (const std::string& page : pages) p.Add(page);
    return p.Bytes();
}

bool BatchResult::Restore(const std::string& bytes, size_t* index) {
    journal::Record r;
    size_t at = 0;
    if (!journal::ParseRecord(bytes, &at, &r) || r.type != kBatchRecord) return false;
    size_t i = 0;
    // A count that the record cannot hold is no record of ours.
    auto count = [&](size_t fieldsEach, size_t* n) {
        long long value = r.Number(i++);
        if (value < 0 || static_cast<size_t>(value) > (r.fields.size() - i) / fieldsEach)
            return false;
        *n = static_cast<size_t>(value);
        return true;
    };
    if (r.fields.size() < 11) return false;
    *index = static_cast<size_t>(r.Number(i++));
    status = static_cast<int>(r.Number(i++));
    endsRun = r.Number(i++) != 0;
    message = r.Text(i++);
    releaseFailure = r.Text(i++);
    header = r.Text(i++);
    kind = r.Text(i++);
    version = r.Text(i++);
    jsonExtra = r.Text(i++);
    identity = r.Text(i++);
    size_t n = 0;
    if (!count(1, &n)) return false;
    saveNames.assign(r.fields.begin() + i, r.fields.begin() + i + n);
    i += n;
    for (std::vector<Entry>* list : {&results, &skips}) {
        if (!count(4, &n)) return false;
        list->clear();
        for (size_t k = 0; k < n; ++k, i += 4) {
            long long verdict = r.Number(i), check = r.Number(i + 1);
            if (verdict < 0 || verdict > static_cast<long long>(Verdict::Fail) || check < 0 ||
                check >= static_cast<long long>(kCheckCount))
                return false;
            list->push_back({static_cast<Verdict>(verdict), static_cast<CheckId>(check),
                             r.Text(i + 2), r.Text(i + 3)});
        }
    }
    if (!count(3, &n)) return false;
    spans.clear();
    for (size_t k = 0; k < n; ++k, i += 3) {
        size_t first = static_cast<size_t>(r.Number(i + 1)), end = static_cast<size_t>(r.Number(i + 2));
        if (first > end || end > results.size()) return false;
        spans.push_back({r.Text(i), first, end});
    }
    if (!count(1, &n)) return false;
    pages.assign(r.fields.begin() + i, r.fields.begin() + i + n);
    return i + n == r.fields.size();
}
