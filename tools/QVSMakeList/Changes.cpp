// What a release changes against the folder's last signed release.
#include "tools/QVSMakeList/Changes.h"

#include <algorithm>
#include <tuple>
#include <unordered_set>

namespace
{
constexpr std::wstring_view kSeparator = L"\t\t";
constexpr std::wstring_view kLineEnd = L"\r\n";

std::wstring FileKey(std::wstring_view folder, std::wstring_view name)
{
    std::wstring key(folder);
    key += L'\t';
    key += name;
    return key;
}
// Added, changed, then removed, each by folder and name: one place per file,
// whatever order the walk met them in.
void SortChanges(std::vector<FileChange>& changes)
{
    std::sort(changes.begin(), changes.end(),
              [](const FileChange& a, const FileChange& b) {
                  return std::tie(a.kind, a.strFolder, a.strName) <
                         std::tie(b.kind, b.strFolder, b.strName);
              });
}
} // namespace

std::vector<FileChange> ChangesSince(const SCReleaseRecord* pPrevious,
                                     std::wstring_view previousText,
                                     const std::vector<HashJob>& jobs)
{
    std::vector<FileChange> changes;
    std::unordered_set<std::wstring> names;
    for (const HashJob& job : jobs)
    {
        const FileListEntry& entry = *job.pEntry;
        names.insert(FileKey(entry.folder, entry.name));
        const SCReleaseRecord::Item* pOld =
            pPrevious != nullptr ? pPrevious->Find(entry.folder, entry.name) : nullptr;
        if (pOld == nullptr || pOld->nSize != job.item.nSize || pOld->digest != job.item.digest)
        {
            changes.push_back(
                {pOld == nullptr ? FileChange::Kind::Added : FileChange::Kind::Changed,
                 entry.folder, entry.name, job.item});
        }
    }
    if (pPrevious == nullptr)
    {
        SortChanges(changes);
        return changes;
    }
    // The record was parsed whole: every line after the first is "folder TAB TAB
    // name TAB TAB ...", the signed block's in a folder no list can name.
    size_t nStart = previousText.find(kLineEnd);
    while (nStart != std::wstring_view::npos && nStart + kLineEnd.size() < previousText.size())
    {
        nStart += kLineEnd.size();
        const std::wstring_view line =
            previousText.substr(nStart, previousText.find(kLineEnd, nStart) - nStart);
        nStart = previousText.find(kLineEnd, nStart);
        const size_t nFolderEnd = line.find(kSeparator);
        const size_t nNameStart = nFolderEnd + kSeparator.size();
        const std::wstring folder(line.substr(0, nFolderEnd));
        const std::wstring name(
            line.substr(nNameStart, line.find(kSeparator, nNameStart) - nNameStart));
        const SCReleaseRecord::Item* pOld = pPrevious->Find(folder, name);
        if (folder != SCReleaseRecord::kSignedFolder && pOld != nullptr &&
            !names.contains(FileKey(folder, name)))
        {
            changes.push_back({FileChange::Kind::Removed, folder, name, *pOld});
        }
    }
    SortChanges(changes);
    return changes;
}

std::wstring FormatChanges(const std::vector<FileChange>& changes)
{
    std::wstring text;
    for (const FileChange& change : changes)
    {
        text += change.kind == FileChange::Kind::Added     ? L"  added    "
                : change.kind == FileChange::Kind::Changed ? L"  changed  "
                                                           : L"  removed  ";
        text += change.strFolder + change.strName + L"  " + std::to_wstring(change.item.nSize) +
                L" bytes  sha256 " + SCSha256::ToHex(change.item.digest) + L"\r\n";
    }
    return text;
}
