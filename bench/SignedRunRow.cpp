// Row 9 of bench/run: the forced run of row 8's release (200 files of 1 MB) published
// with --sign, over an installation whose ReleaseKey is the signing key, against the
// same run unchecked (no record, no ReleaseKey) and with the unsigned record (row 8's
// checked run), over make-verify's installation.

#include "bench/BenchCommands.h"
#include "bench/BenchSupport.h"

#include <cstdio>

namespace qvsbench
{
namespace
{
// How the release is published, and what the installation trusts, for one candidate.
enum class Check
{
    Signed,    // signed record, ReleaseKey in QVS.ini
    Verified,  // unsigned record, no ReleaseKey
    Unchecked, // no record, no ReleaseKey
};

// The release's list and record as each publication left them, kept in a folder of
// their own (in the release folder they would be listed as its files): each
// candidate puts its own pair in place.
struct Publications
{
    std::wstring release;
    std::wstring kept;

    void Keep(const std::wstring& suffix) const
    {
        MakeDirs(kept);
        for (const wchar_t* name : kFiles)
        {
            if (!CopyFileW((release + name).c_str(), (kept + name + suffix).c_str(), FALSE))
            {
                Fail(L"cannot keep " + release + name);
            }
        }
    }

    void Put(Check check) const
    {
        const std::wstring suffix = check == Check::Signed ? L".signed" : L".unsigned";
        for (const wchar_t* name : kFiles)
        {
            const bool bRecord = name == kFiles[1];
            if (bRecord && check == Check::Unchecked)
            {
                DeleteFileW((release + name).c_str());
            }
            else if (!CopyFileW((kept + name + suffix).c_str(), (release + name).c_str(), FALSE))
            {
                Fail(L"cannot put back " + release + name);
            }
        }
    }

    std::string Record() const { return ReadFileFrom(release + kFiles[1]); }

    static constexpr const wchar_t* kFiles[] = {L"\\HotUpdateFileList_Server.txt",
                                                L"\\HotUpdateFileList_Server.sha256"};
};

// The ReleaseKey line's value: the key's .pub file without its line end.
std::wstring PublicKeyOf(const std::wstring& pub)
{
    std::string text = ReadFileFrom(pub);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
    {
        text.pop_back();
    }
    if (text.rfind("ecdsa-p256:", 0) != 0)
    {
        Fail(L"no public key in " + pub);
    }
    return std::wstring(text.begin(), text.end());
}
} // namespace

// The key is made once, in <folder>\key; the release is published unsigned and then
// signed on every call (by the QVSMakeList.exe built with this program), and left
// unsigned, as row 8 finds it.
int SignedRunCommand(const std::wstring& folder, int nRounds)
{
    const std::wstring bin = folder + L"\\inst\\bin";
    const std::wstring release = folder + L"\\release";
    const std::wstring key = folder + L"\\key\\admin.key";
    const Publications published{release, folder + L"\\published"};
    if (!Exists(key))
    {
        MakeDirs(folder + L"\\key");
        RunMakeList(L"--new-key " + Quoted(key));
    }
    const std::wstring releaseKey = PublicKeyOf(folder + L"\\key\\admin.pub");
    Publish(release);
    published.Keep(L".unsigned");
    RunMakeList(L"--sign " + Quoted(key) + L" " + Quoted(release));
    published.Keep(L".signed");
    // The record is UTF-16 text; its signed block's lines are in the folder "?signed".
    const wchar_t kSigned[] = L"?signed";
    if (published.Record().find(std::string(reinterpret_cast<const char*>(kSigned),
                                            sizeof kSigned - sizeof(wchar_t))) == std::string::npos)
    {
        Fail(L"QVSMakeList --sign wrote no signed record");
    }

    // What the run's log must say: the signed release accepted, the copies of the
    // others checked or not.
    const auto run = [&](Check check, const wchar_t* who)
    {
        const double ms = TimeToClient(bin, Quoted(bin + L"\\QVSCliUpdate.exe") + L" /force");
        CheckVerify(folder, who);
        const std::string log = ReadFileFrom(bin + L"\\QVSCliUpdate.log");
        const bool bAccepted = log.find("signed by the trusted key") != std::string::npos;
        const bool bUnchecked = log.find("not verified") != std::string::npos;
        if (bAccepted != (check == Check::Signed))
        {
            Fail(std::wstring(who) +
                 (bAccepted ? L" logged a signed release" : L" did not log its release as signed"));
        }
        if (bUnchecked != (check == Check::Unchecked))
        {
            Fail(std::wstring(who) +
                 (bUnchecked ? L" did not check its copies" : L" checked its copies"));
        }
        return ms;
    };
    const auto before = [&](Check check)
    {
        ResetVerify(folder);
        published.Put(check);
        if (check == Check::Signed)
        {
            WriteIniSource(bin, UncOf(release), L"ReleaseKey=" + releaseKey + L"\r\n");
        }
    };
    std::vector<Candidate> candidates;
    candidates.push_back({L"signed",
                          [&] { return run(Check::Signed, L"the signed run"); },
                          [&] { before(Check::Signed); },
                          {}});
    candidates.push_back({L"unchecked",
                          [&] { return run(Check::Unchecked, L"the unchecked run"); },
                          [&] { before(Check::Unchecked); },
                          {}});
    candidates.push_back({L"verified",
                          [&] { return run(Check::Verified, L"the run with the unsigned record"); },
                          [&] { before(Check::Verified); },
                          {}});
    RunRounds(candidates, nRounds);
    before(Check::Verified);
    std::wprintf(L"RESULT\tsignedrun\tfiles=%u\tbytes=%zu\trounds=%d", kVerifyFiles, kVerifySize,
                 nRounds);
    PrintTimesAndEnd(candidates);
    return 0;
}
} // namespace qvsbench
