#pragma once
// QVSMakeList's signing: the options, a new key pair (--new-key), and the
// signature of the release record (--sign, --next-key, --release-number,
// --from, --accept-changes). The folder's previous record counts only when its
// signature verifies, with the signing key or the key it was rotated from: only
// then does it give the next number and the files the changes are shown against.
// Messages are returned, not printed: the tool's output goes where it decides.

#include "lib/ReleaseKey.h"
#include "lib/ReleaseRecord.h"

#include <windows.h>

#include <string>

// Exit codes of the signing, beside those of the publishing (QVSMakeList.cpp).
enum SigningExitCode : int
{
    kExitKeyUnusable = 6,        // the key file or the next key's file cannot be used
    kExitNumberUnknown = 7,      // the folder's record is unreadable or not verified
    kExitChangesNotAccepted = 8, // signed in place with changes, without --accept-changes
};

struct SigningOptions
{
    std::wstring strNewKey;  // --new-key <key file>
    std::wstring strSignKey; // --sign <key file>
    std::wstring strNextKey; // --next-key <pub file>
    std::wstring strFrom;    // --from <build folder>
    bool bAcceptChanges = false; // --accept-changes
    bool bReleaseNumber = false;
    ULONGLONG nReleaseNumber = 0; // --release-number N, 1 to 18446744073709551615

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
    RecordSigner() = default;
    RecordSigner(const RecordSigner&) = delete;
    RecordSigner& operator=(const RecordSigner&) = delete;

    // Loads the key (and the next key), reads the folder's record and finds the
    // release number: the one given, or one more than that of the folder's record
    // when its signature verifies (1 when it has no record, or an unsigned one).
    // On failure strError and nExitCode say why.
    bool Prepare(const SigningOptions& options, const std::wstring& strFolder,
                 SigningResult& result);
    // The folder's previous record when its signature verifies; null otherwise.
    const SCReleaseRecord* Trusted() const noexcept { return m_bTrusted ? &m_previous : nullptr; }
    const std::wstring& TrustedText() const noexcept { return m_previousText; }
    // "release 7 (signed by key 1a2b...)" for the trusted record, or why there is none.
    const std::wstring& Previous() const noexcept { return m_strPrevious; }
    // Adds the signed block to the record's text. ERROR_SUCCESS or the system's code.
    DWORD Sign(std::wstring& strRecord) const;
    // " signed as release N with key K" (and the next key), for the summary.
    std::wstring Summary() const;

private:
    // Reads the folder's record and decides whether it is trusted.
    void ReadPrevious(const std::wstring& strRecord, const std::wstring& strKeyFile);

    SCReleaseSigningKey m_key;
    // What the folder's record was found to be.
    enum class Found
    {
        None,
        Unreadable,
        Unsigned,
        Untrusted, // signed, but not by the signing key or the key it was rotated from
        Trusted,
    };
    Found m_found = Found::None;
    SCReleaseRecord m_previous;
    std::wstring m_previousText;
    bool m_bTrusted = false;
    std::wstring m_strPrevious;
    bool m_bNextKey = false;
    SCReleasePublicKey m_nextKey;
    ULONGLONG m_nRelease = 0;
};
