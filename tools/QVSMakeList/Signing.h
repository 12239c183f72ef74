#pragma once
// QVSMakeList's signing: the options, a new key pair (--new-key), and the
// signature of the release record (--sign, --next-key, --release-number).
// Messages are returned, not printed: the tool's output goes where it decides.

#include "lib/ReleaseKey.h"

#include <windows.h>

#include <string>

// Exit codes of the signing, beside those of the publishing (QVSMakeList.cpp).
enum SigningExitCode : int
{
    kExitKeyUnusable = 6,     // the key file or the next key's file cannot be used
    kExitNumberUnknown = 7,   // the folder's record cannot tell the last release number
};

struct SigningOptions
{
    std::wstring strNewKey;  // --new-key <key file>
    std::wstring strSignKey; // --sign <key file>
    std::wstring strNextKey; // --next-key <pub file>
    bool bReleaseNumber = false;
    ULONGLONG nReleaseNumber = 0; // --release-number N

    bool IsSigning() const noexcept { return !strSignKey.empty(); }
};

// Takes argv[i] and its value when it is a signing option (i then points at the
// value): true when taken. A misused one leaves why in strError.
bool TakeSigningOption(int argc, wchar_t** argv, int& i, SigningOptions& options,
                       std::wstring& strError);
// Why the options cannot go together; empty when they can.
std::wstring CheckSigningOptions(const SigningOptions& options, bool bFolderGiven);

struct SigningResult
{
    int nExitCode = 0;
    std::wstring strOut;   // for the standard output
    std::wstring strError; // for the error output; empty when all went well
};

// --new-key: a new key pair into a new key file sealed for this account, its
// public key into the .pub file beside it (neither may exist yet), and the line
// for QVS.ini.
SigningResult MakeNewKey(const std::wstring& strKeyFile);

// --sign: everything the signature needs, gathered before anything is written.
class RecordSigner
{
public:
    // Loads the key (and the next key), and finds the release number: the one
    // given, or one more than that of the folder's record (1 when it has none).
    // On failure strError and nExitCode say why.
    bool Prepare(const SigningOptions& options, const std::wstring& strFolder,
                 SigningResult& result);
    // Adds the signed block to the record's text. ERROR_SUCCESS or the system's code.
    DWORD Sign(std::wstring& strRecord) const;
    // " signed as release N with key K" (and the next key), for the summary.
    std::wstring Summary() const;

private:
    SCReleaseSigningKey m_key;
    bool m_bNextKey = false;
    SCReleasePublicKey m_nextKey;
    ULONGLONG m_nRelease = 0;
};
