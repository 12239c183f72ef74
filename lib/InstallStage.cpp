#include "lib/InstallStage.h"

#include "framework/AfxFileFind.h"
#include "lib/BlockIndex.h"
#include "lib/CopyLeftover.h"
#include "lib/FileIterator.h"
#include "lib/NameFold.h"
#include "lib/SignedStamp.h"

#include <algorithm>
#include <deque>
#include <map>
#include <unordered_map>
#include <unordered_set>

namespace
{
constexpr ULONGLONG kDefaultClusterBytes = 4096;

void Sign(std::atomic<ULONGLONG>& lastSign) noexcept
{
    lastSign.store(GetTickCount64());
}

// The folder itself, or the nearest folder above it that exists: where the files
// of a folder the run is yet to make will lie.
std::wstring ExistingFolder(std::wstring strFolder)
{
    while (!strFolder.empty() && strFolder.back() == L'\\')
    {
        strFolder.pop_back();
    }
    for (;;)
    {
        const DWORD dwAttributes = GetFileAttributesW(AfxLongPathForm(strFolder).c_str());
        if (dwAttributes != INVALID_FILE_ATTRIBUTES &&
            (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        {
            return strFolder + L"\\";
        }
        const size_t nSlash = strFolder.find_last_of(L'\\');
        if (nSlash == std::wstring::npos || nSlash < 3)
        {
            return strFolder.substr(0, std::min<size_t>(strFolder.size(), 2)) + L"\\";
        }
        strFolder.resize(nSlash);
    }
}

// What the release needs on each volume it writes to, against what is free there.
class SpaceCheck
{
public:
    void Add(const std::wstring& strTarget, ULONGLONG nBytes)
    {
        auto found = m_targets.find(strTarget);
        if (found == m_targets.end())
        {
            const std::wstring strFolder = ExistingFolder(strTarget);
            wchar_t szVolume[MAX_PATH + 1] = {};
            std::wstring strVolume =
                GetVolumePathNameW(AfxLongPathForm(strFolder).c_str(), szVolume, MAX_PATH)
                    ? UpperCase(szVolume)
                    : UpperCase(strFolder);
            auto [it, bNew] = m_volumes.try_emplace(strVolume);
            if (bNew)
            {
                it->second.strFolder = strFolder;
                it->second.nCluster = ClusterBytes(szVolume);
            }
            found = m_targets.emplace(strTarget, &it->second).first;
        }
        found->second->nNeeded += SCSpaceOnDisk(nBytes, found->second->nCluster);
    }

    // False when the release cannot fit on one of the volumes; that one in shortfall.
    bool Fits(SCSpaceShortfall& shortfall) const
    {
        for (const auto& [strVolume, volume] : m_volumes)
        {
            ULARGE_INTEGER free{}, total{}, totalFree{};
            if (volume.nNeeded > 0 &&
                GetDiskFreeSpaceExW(AfxLongPathForm(volume.strFolder).c_str(), &free, &total,
                                    &totalFree) &&
                volume.nNeeded > free.QuadPart)
            {
                shortfall.strFolder = volume.strFolder;
                shortfall.nNeeded = volume.nNeeded;
                shortfall.nFree = free.QuadPart;
                return false;
            }
        }
        return true;
    }

private:
    struct Volume
    {
        std::wstring strFolder;
        ULONGLONG nCluster = kDefaultClusterBytes;
        ULONGLONG nNeeded = 0;
    };

    static ULONGLONG ClusterBytes(const wchar_t* pszVolume) noexcept
    {
        DWORD dwSectors = 0, dwBytes = 0, dwFree = 0, dwTotal = 0;
        return pszVolume[0] != L'\0' &&
                       GetDiskFreeSpaceW(pszVolume, &dwSectors, &dwBytes, &dwFree, &dwTotal) &&
                       dwSectors * dwBytes != 0
                   ? static_cast<ULONGLONG>(dwSectors) * dwBytes
                   : kDefaultClusterBytes;
    }

    std::map<std::wstring, Volume> m_volumes;
    std::unordered_map<std::wstring, Volume*> m_targets;
};

// The sizes from the record, or, for a release without one, from the share.
bool ReleaseFits(SCStageRun& run, std::atomic<ULONGLONG>& lastSign)
{
    SpaceCheck check;
    for (const SCInstallItem& item : run.items)
    {
        if (item.kind != SCInstallItem::Kind::Copy)
        {
            continue;
        }
        ULONGLONG nBytes = item.expected.nSize;
        if (!item.bChecked)
        {
            // A file the share cannot tell of now fails its copy later.
            WIN32_FILE_ATTRIBUTE_DATA data{};
            nBytes = GetFileAttributesExW(AfxLongPathForm(item.strSource).c_str(),
                                          GetFileExInfoStandard, &data)
                         ? (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow
                         : 0;
            Sign(lastSign);
        }
        check.Add(item.strTarget, nBytes);
    }
    return check.Fits(run.shortfall);
}

// The staging thread's side of the items: each copy is started in a slot of the
// copier and finished (its hash checked) only when the slot is wanted again or the
// plan is done, so that the next file is read while the hash of this one is taken.
// Items finish in the list's order.
class StageRunner
{
public:
    StageRunner(SCStageRun& run, std::atomic<ULONGLONG>& lastSign)
        : m_run(run), m_lastSign(lastSign), m_copier(run.bHashing)
    {
    }

    // False once the run is abandoned or a file failed: nothing more is begun.
    bool Run()
    {
        for (size_t n = 0; n < m_run.items.size(); ++n)
        {
            SCInstallItem& item = m_run.items[n];
            Started started;
            started.nItem = n;
            if (item.kind == SCInstallItem::Kind::Copy && item.bIndexed)
            {
                {
                    const std::lock_guard<std::mutex> lock(m_run.mutex);
                    m_run.nReading = n;
                }
                if (FromBlocks(item, started))
                {
                    m_started.push_back(std::move(started));
                    continue;
                }
            }
            if (item.kind == SCInstallItem::Kind::Copy)
            {
                size_t nSlot = m_nStarted++ % m_copier.Slots();
                // The slot's earlier copy, and all before it, finish first.
                while (std::any_of(m_started.begin(), m_started.end(),
                                   [nSlot](const Started& s) { return s.nSlot == nSlot; }))
                {
                    if (!FinishOldest())
                    {
                        return Stop();
                    }
                }
                {
                    const std::lock_guard<std::mutex> lock(m_run.mutex);
                    m_run.nReading = n;
                }
                started.nSlot = nSlot;
                started.strTemp = Start(item, nSlot);
            }
            m_started.push_back(std::move(started));
        }
        while (!m_started.empty())
        {
            if (!FinishOldest())
            {
                return Stop();
            }
        }
        return true;
    }

private:
    static constexpr size_t kNoSlot = ~size_t{0};
    struct Started
    {
        size_t nItem = 0;
        size_t nSlot = kNoSlot; // no copy under way in a slot
        std::wstring strTemp;
        // Built from the installed version's blocks: result is the copy's outcome.
        bool bBuilt = false;
        SCCopyResult result;
        // Read from the share by an attempt to build it that gave way to a whole copy.
        ULONGLONG nTriedBytes = 0;
    };

    // Builds the file from its installed version's blocks and the share; true when
    // it is staged so. Otherwise it is copied whole, and item says why when the log
    // must say it.
    bool FromBlocks(SCInstallItem& item, Started& started)
    {
        started.strTemp = SCLeftoverPathBeside(item.strDestination);
        SCDeltaSource source;
        source.strSource = item.strSource;
        source.expected = item.expected;
        source.strIndex = item.strIndex;
        source.index = item.index;
        source.strInstalled = item.strDestination;
        const SCDeltaResult delta = SCCopyFromBlocks(source, started.strTemp, m_lastSign,
                                                     item.bStamp ? &item.ftStamp : nullptr);
        item.delta = delta.outcome;
        item.dwDeltaError = delta.dwError;
        if (delta.outcome != SCDeltaOutcome::Built)
        {
            started.nTriedBytes = delta.nShareBytes;
            started.strTemp.clear();
            return false;
        }
        started.bBuilt = true;
        started.result.outcome = SCCopyOutcome::Copied;
        started.result.nBytes = delta.nBytes;
        started.result.nShareBytes = delta.nShareBytes;
        return true;
    }

    // The copy's temporary file.
    std::wstring Start(SCInstallItem& item, size_t nSlot)
    {
        // Each target folder is made ready once: most entries share their folder.
        if (m_prepared.insert(UpperCase(item.strTarget)).second)
        {
            SCFileIterator finder;
            if (!finder.FindFile((item.strTarget + L"*.*").c_str()))
            {
                finder.CreateFolderPath(item.strTarget);
            }
            finder.Close();
        }
        std::wstring strTemp = SCLeftoverPathBeside(item.strDestination);
        m_copier.Start(nSlot, item.strSource, strTemp, item.bChecked ? &item.expected : nullptr,
                       m_lastSign, item.bStamp ? &item.ftStamp : nullptr);
        return strTemp;
    }

    bool FinishOldest()
    {
        const Started started = std::move(m_started.front());
        m_started.pop_front();
        SCInstallItem& item = m_run.items[started.nItem];
        SCCopyResult result = started.result;
        const bool bCopy = started.nSlot != kNoSlot || started.bBuilt;
        if (started.nSlot != kNoSlot)
        {
            result = m_copier.Finish(started.nSlot);
        }
        result.nShareBytes += started.nTriedBytes;
        const std::lock_guard<std::mutex> lock(m_run.mutex);
        if (m_run.bAbandoned || m_run.bFailed)
        {
            if (bCopy && result.outcome == SCCopyOutcome::Copied)
            {
                SCDiscardFile(AfxLongPathForm(started.strTemp));
            }
            return false;
        }
        if (bCopy && result.outcome == SCCopyOutcome::Copied)
        {
            item.strStaged = started.strTemp;
        }
        else
        {
            // The rest is not worth the user's wait: the release is not installed.
            m_run.bFailed = true;
        }
        item.result = result;
        ++m_run.nDone;
        return !m_run.bFailed;
    }

    // Copies still under way are finished and dropped.
    bool Stop()
    {
        while (!m_started.empty())
        {
            FinishOldest();
        }
        return false;
    }

    SCStageRun& m_run;
    std::atomic<ULONGLONG>& m_lastSign;
    SCFileCopy m_copier;
    std::unordered_set<std::wstring> m_prepared;
    std::deque<Started> m_started;
    size_t m_nStarted = 0;
};
} // namespace

std::vector<SCInstallItem> SCPlanInstall(const FileList& list, const std::wstring& strRoot,
                                         const SCReleaseRecord* pRecord, bool bSignedStamps)
{
    std::vector<SCInstallItem> items;
    for (const std::unique_ptr<FileListEntry>& pEntry : list)
    {
        const FileListEntry& entry = *pEntry;
        if (entry.target.empty())
        {
            continue;
        }
        SCInstallItem& item = items.emplace_back();
        item.strSource = entry.folder + entry.name;
        item.strShown = UpperCase(item.strSource);
        item.strFolder = entry.folder;
        item.strTarget = entry.target;
        item.strDestination = entry.target + entry.name;
        item.strRefusal = SCFileIterator::CheckCopyDestination(strRoot, entry.target, entry.name);
        item.bStamp = bSignedStamps && SCSignedStampFileTime(entry.modified, item.ftStamp);
        if (!item.strRefusal.empty())
        {
            item.kind = SCInstallItem::Kind::Refused;
        }
        else if (pRecord != nullptr)
        {
            const SCReleaseRecord::Item* pExpected = pRecord->Find(entry.folder, entry.name);
            if (pExpected == nullptr)
            {
                item.kind = SCInstallItem::Kind::NotInRecord;
            }
            else
            {
                item.bChecked = true;
                item.expected = *pExpected;
                // Its index lies beside the record that vouches for it.
                const SCReleaseRecord::Item* pIndex = SCFindBlockIndex(*pRecord, pExpected->digest);
                const std::wstring& strRecord = pRecord->GetPath();
                const size_t nSlash = strRecord.find_last_of(L'\\');
                if (pIndex != nullptr && nSlash != std::wstring::npos)
                {
                    item.bIndexed = true;
                    item.index = *pIndex;
                    item.strIndex = strRecord.substr(0, nSlash + 1) + kBlockIndexFolder + L"\\" +
                                    SCBlockIndex::FileName(pExpected->digest);
                }
            }
        }
    }
    return items;
}

void SCStageItems(SCStageRun& run, std::atomic<ULONGLONG>& lastSign) noexcept
{
    try
    {
        if (!ReleaseFits(run, lastSign))
        {
            const std::lock_guard<std::mutex> lock(run.mutex);
            run.bNoSpace = true;
            run.bFailed = true;
            return;
        }
        StageRunner runner(run, lastSign);
        runner.Run();
    }
    catch (...)
    {
        // Out of memory: the items not finished are reported as such.
    }
}

ULONGLONG SCSpaceOnDisk(ULONGLONG nBytes, ULONGLONG nClusterBytes) noexcept
{
    if (nClusterBytes == 0)
    {
        return nBytes;
    }
    return (nBytes + nClusterBytes - 1) / nClusterBytes * nClusterBytes;
}
