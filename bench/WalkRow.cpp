// Row 2 of bench/run: SCFileIterator::Walk against a bare walk that opens and
// queries each file, and a walk that only searches the folders.

#include "bench/BareWalk.h"
#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"
#include "lib/FileIterator.h"

#include <cstdio>

namespace qvsbench
{
// Every tree is walked in every round, the three ways in turn, so that all figures
// of a run are taken under the same conditions.
int WalkCommand(const std::vector<std::wstring>& roots, int nRounds)
{
    struct Tree
    {
        size_t nBare = 0;
        size_t nSearched = 0;
        size_t nListed = 0;
    };
    std::vector<Tree> trees(roots.size());
    std::vector<Candidate> candidates;
    const auto bare = [](const std::wstring& root, bool bOpen, size_t& nFiles)
    {
        return [&root, bOpen, &nFiles]
        {
            const LONGLONG t0 = Now();
            nFiles = BareWalk(root, bOpen);
            return Ms(Now() - t0);
        };
    };
    for (size_t t = 0; t < roots.size(); ++t)
    {
        const std::wstring& root = roots[t];
        Tree& tree = trees[t];
        candidates.push_back({L"bare", bare(root, true, tree.nBare), {}, {}});
        candidates.push_back({L"walk",
                              [&root, &tree]
                              {
                                  SCFileIterator iterator;
                                  iterator.EnableStatusPopup(false);
                                  iterator.SetRootFolder(root);
                                  const LONGLONG t0 = Now();
                                  iterator.Walk(FileListKind::Client, nullptr, nullptr);
                                  const double ms = Ms(Now() - t0);
                                  tree.nListed = GetList(FileListKind::Client).size();
                                  ClearList(FileListKind::Client);
                                  return ms;
                              },
                              {},
                              {}});
        candidates.push_back({L"search", bare(root, false, tree.nSearched), {}, {}});
    }
    RunRounds(candidates, nRounds);
    int nResult = 0;
    for (size_t t = 0; t < roots.size(); ++t)
    {
        std::wprintf(L"RESULT\twalk\tfiles=%zu\tlisted=%zu\tsearched=%zu\trounds=%d",
                     trees[t].nBare, trees[t].nListed, trees[t].nSearched, nRounds);
        for (size_t c = 3 * t; c < 3 * t + 3; ++c)
        {
            PrintTimes(candidates[c]);
        }
        std::wprintf(L"\n");
        // A file the walk cannot open is left out, as the bare walk leaves it out.
        nResult = trees[t].nBare == trees[t].nListed ? nResult : 3;
    }
    return nResult;
}
} // namespace qvsbench
