// The product's everyday life through the real programs: releases published one
// over the other with QVSMakeList and reached through their UNC path, an update
// that fails and is retried, and the everyday starts between them.
#include "tests/support/Scenario.h"

using namespace qvstest;

namespace
{
class ReleaseCycle : public Scenario
{
};
} // namespace

TEST_F(ReleaseCycle, ReleaseOverReleaseAFailureAndTheStartsBetween)
{
    inst.Put(L"bin\\app.dll", "app 0", T(2025, 6, 1));
    inst.Put(L"data\\keep.txt", "keep 1", T(2026, 1, 5));
    // Nothing published yet.
    ExpectClientOnly();

    // Release 1: a newer app.dll, a new file beside it and one in a new folder;
    // keep.txt as installed.
    rel.Put(L"bin\\app.dll", "app 1", T(2026, 1, 10));
    rel.Put(L"bin\\lib.dll", "lib 1", T(2026, 1, 10));
    rel.Put(L"data\\keep.txt", "keep 1", T(2026, 1, 5));
    rel.Put(L"docs\\en\\readme.txt", "readme 1", T(2026, 1, 10));
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\lib.dll"}, {L"docs\\en\\readme.txt"}});

    // Release 2 over it: app.dll one second newer, lib.dll other bytes under the
    // same stamp, keep.txt older, and a new file. Only the newer and the new are copied.
    rel.Put(L"bin\\app.dll", "app 2", T(2026, 1, 10, 12, 0, 1));
    rel.Put(L"bin\\lib.dll", "lib 2", T(2026, 1, 10));
    rel.Put(L"data\\keep.txt", "keep 2", T(2026, 1, 4));
    rel.Put(L"bin\\plugin.dll", "plugin 2", T(2026, 1, 11));
    ASSERT_EQ(0u, rel.Publish());
    ExpectUpdate({{L"bin\\app.dll"}, {L"bin\\plugin.dll"}});
    ExpectClientOnly();

    // Release 3 while its app.dll is still being written (nobody may read it), and
    // the installation has files of its own that no release names, more than the
    // walk opens ahead of itself, one of them held by another program: the walk
    // reports that one in its place, the copy of app.dll fails, nothing of the
    // release is installed, the run records "0".
    for (int i = 0; i < 520; ++i)
    {
        inst.Put(L"user\\file" + std::to_wstring(i) + L".txt", "user's", T(2025, 1, 1));
    }
    rel.Put(L"bin\\app.dll", "app 3", T(2026, 2, 1));
    rel.Put(L"docs\\en\\readme.txt", "readme 3", T(2026, 2, 1));
    ASSERT_EQ(0u, rel.Publish());
    {
        const UniqueFile writing(CreateFileW(rel.Path(L"bin\\app.dll").c_str(), GENERIC_WRITE, 0,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        const UniqueFile held(CreateFileW(inst.Path(L"user\\file300.txt").c_str(), GENERIC_READ, 0,
                                          nullptr, OPEN_EXISTING, 0, nullptr));
        ASSERT_TRUE(writing && held);
        ExpectUpdate({{L"bin\\app.dll", ERROR_SHARING_VIOLATION}, {L"docs\\en\\readme.txt"}});
    }
    // The next start tries again and installs the release whole once the fault is gone.
    RemoveTree(inst.Path(L"user"));
    ExpectUpdate({{L"bin\\app.dll"}, {L"docs\\en\\readme.txt"}});
    // Any argument forces a run: it lists the installation again and copies nothing.
    ExpectUpdate({}, L"/force");
}
