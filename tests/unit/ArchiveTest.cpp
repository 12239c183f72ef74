// The framework's file class and buffered archive: open modes and sharing, the
// errors they raise, and line reading across buffer boundaries.
#include "framework/AfxFile.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <string>

using qvstest::TempDir;
using qvstest::Utf16Bytes;

namespace
{
// The cause and system code of the CFileException an operation raises; 0 when none.
template <class F> LONG FileErrorOf(F&& operation, std::wstring* pFileName = nullptr)
{
    try
    {
        operation();
    }
    catch (CFileException* e)
    {
        const LONG lOsError = e->m_lOsError;
        if (pFileName != nullptr)
        {
            *pFileName = e->m_strFileName;
        }
        e->Delete();
        return lOsError;
    }
    return 0;
}

// The cause of the CArchiveException an operation raises; -1 when none.
template <class F> int ArchiveCauseOf(F&& operation)
{
    try
    {
        operation();
    }
    catch (CArchiveException* e)
    {
        const int nCause = e->m_cause;
        e->Delete();
        return nCause;
    }
    return -1;
}

} // namespace

TEST(FileOpen, FlagValuesAreTheFrameworksOwn)
{
    EXPECT_EQ(0u, static_cast<UINT>(CFile::modeRead));
    EXPECT_EQ(2u, static_cast<UINT>(CFile::modeReadWrite));
    EXPECT_EQ(0x40u, static_cast<UINT>(CFile::shareDenyNone));
    EXPECT_EQ(0x1000u, static_cast<UINT>(CFile::modeCreate));
    EXPECT_EQ(0x2000u, static_cast<UINT>(CFile::modeNoTruncate));
    EXPECT_EQ(0x3002u,
              static_cast<UINT>(CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate));
}

TEST(FileOpen, MissingFileFailsWithTheSystemsCodeAndTheFullPath)
{
    TempDir dir;
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(dir / L"missing.txt", CFile::modeRead, &error));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, static_cast<DWORD>(error.m_lOsError));
    EXPECT_EQ(CFileException::fileNotFound, error.m_cause);
    EXPECT_EQ(dir / L"missing.txt", error.m_strFileName);
}

TEST(FileOpen, ConstructorRaisesCFileException)
{
    TempDir dir;
    std::wstring name;
    const LONG lError =
        FileErrorOf([&] { CFile file(dir / L"nowhere\\x.txt", CFile::modeRead); }, &name);
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, static_cast<DWORD>(lError));
    EXPECT_EQ(dir / L"nowhere\\x.txt", name);
}

TEST(FileOpen, CreateTruncatesUnlessToldNotTo)
{
    TempDir dir;
    const std::wstring path = dir / L"f.bin";
    qvstest::WriteBytes(path, "0123456789");
    {
        CFile file;
        ASSERT_TRUE(
            file.Open(path, CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate));
        EXPECT_EQ(10u, file.GetLength());
    }
    {
        CFile file;
        ASSERT_TRUE(file.Open(path, CFile::modeReadWrite | CFile::modeCreate));
        EXPECT_EQ(0u, file.GetLength());
    }
    // Created when missing.
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"new.bin",
                          CFile::modeReadWrite | CFile::modeCreate | CFile::modeNoTruncate));
    EXPECT_TRUE(qvstest::Exists(dir / L"new.bin"));
}

TEST(FileOpen, SharingFollowsTheShareFlags)
{
    TempDir dir;
    const std::wstring path = dir / L"shared.bin";
    qvstest::WriteBytes(path, "abc");
    {
        CFile reader;
        ASSERT_TRUE(reader.Open(path, CFile::modeRead | CFile::shareDenyNone));
        // Others may still write it.
        CFile writer;
        EXPECT_TRUE(writer.Open(path, CFile::modeReadWrite | CFile::shareDenyNone));
    }
    CFile exclusive;
    ASSERT_TRUE(exclusive.Open(path, CFile::modeReadWrite));
    CFile other;
    CFileException error;
    EXPECT_FALSE(other.Open(path, CFile::modeRead | CFile::shareDenyNone, &error));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, static_cast<DWORD>(error.m_lOsError));
    EXPECT_EQ(CFileException::sharingViolation, error.m_cause);
}

TEST(FileOpen, DestructorAndCloseReleaseTheHandle)
{
    TempDir dir;
    const std::wstring path = dir / L"x.bin";
    {
        CFile file;
        ASSERT_TRUE(file.Open(path, CFile::modeReadWrite | CFile::modeCreate));
    }
    // Only possible once the exclusive handle is gone.
    CFile again;
    ASSERT_TRUE(again.Open(path, CFile::modeReadWrite));
    again.Close();
    EXPECT_FALSE(again.IsOpen());
    EXPECT_TRUE(DeleteFileW(path.c_str()));
    again.Close(); // closing a closed file does nothing
}

TEST(FileOpen, NamesOfTheOpenedFile)
{
    TempDir dir;
    const std::wstring path = dir / L"sub.dir\\list.txt";
    qvstest::MakeDirs(dir / L"sub.dir");
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"sub.dir\\.\\..\\sub.dir\\list.txt",
                          CFile::modeReadWrite | CFile::modeCreate));
    EXPECT_EQ(path, file.GetFilePath());
    EXPECT_EQ(L"list.txt", file.GetFileName());
}

TEST(FileIo, ReadWriteSeekAndLength)
{
    TempDir dir;
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"io.bin", CFile::modeReadWrite | CFile::modeCreate));
    file.Write("hello world", 11);
    EXPECT_EQ(11u, file.GetLength());
    EXPECT_EQ(6u, file.Seek(6, CFile::begin));
    char buffer[16] = {};
    EXPECT_EQ(5u, file.Read(buffer, sizeof(buffer)));
    EXPECT_EQ(std::string("world"), std::string(buffer, 5));
    EXPECT_EQ(0u, file.Read(buffer, sizeof(buffer))); // at the end
    file.SetLength(5);
    EXPECT_EQ(5u, file.GetLength());
    EXPECT_EQ(5u, file.GetPosition());
    EXPECT_EQ(3u, file.Seek(-2, CFile::end));
    file.Flush();
    file.Close();
    EXPECT_EQ("hello", qvstest::ReadBytes(dir / L"io.bin"));
}

TEST(FileIo, OperationsOnAClosedFileRaise)
{
    CFile file;
    char c = 0;
    EXPECT_EQ(ERROR_INVALID_HANDLE, static_cast<DWORD>(FileErrorOf([&] { file.Read(&c, 1); })));
    EXPECT_EQ(ERROR_INVALID_HANDLE, static_cast<DWORD>(FileErrorOf([&] { file.SetLength(0); })));
    EXPECT_EQ(ERROR_INVALID_HANDLE,
              static_cast<DWORD>(FileErrorOf([&] { file.Seek(0, CFile::begin); })));
}

TEST(FileIo, WritingAFileOpenedForReadingRaisesAccessDenied)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"ro.bin", "x");
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"ro.bin", CFile::modeRead | CFile::shareDenyNone));
    std::wstring name;
    EXPECT_EQ(ERROR_ACCESS_DENIED,
              static_cast<DWORD>(FileErrorOf([&] { file.Write("y", 1); }, &name)));
    EXPECT_EQ(dir / L"ro.bin", name);
}

TEST(ArchiveStore, WritesEverythingThroughTheBufferOnClose)
{
    TempDir dir;
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"a.bin", CFile::modeReadWrite | CFile::modeCreate));
    std::string expected;
    {
        CArchive ar(&file, CArchive::store, 4096);
        EXPECT_TRUE(ar.IsStoring());
        for (int i = 0; i < 3000; ++i)
        {
            const std::string piece = std::to_string(i) + ",";
            ar.Write(piece.data(), static_cast<UINT>(piece.size()));
            expected += piece;
        }
        // Nothing beyond whole buffers has reached the file yet.
        EXPECT_EQ(0u, file.GetLength() % 4096);
        EXPECT_LT(file.GetLength(), expected.size());
        ar.Close();
    }
    file.Close();
    EXPECT_EQ(expected, qvstest::ReadBytes(dir / L"a.bin"));
}

TEST(ArchiveStore, DestructorWritesWhatAnUnclosedArchiveHolds)
{
    TempDir dir;
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"a.bin", CFile::modeReadWrite | CFile::modeCreate));
    {
        CArchive ar(&file, CArchive::store);
        ar.WriteString(L"ab");
    }
    file.Close();
    EXPECT_EQ(Utf16Bytes(L"ab"), qvstest::ReadBytes(dir / L"a.bin"));
}

TEST(ArchiveStore, ReadingAStoringArchiveRaises)
{
    TempDir dir;
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"a.bin", CFile::modeReadWrite | CFile::modeCreate));
    CArchive ar(&file, CArchive::store);
    char c = 0;
    EXPECT_EQ(CArchiveException::writeOnly, ArchiveCauseOf([&] { ar.Read(&c, 1); }));
    CArchive loader(&file, CArchive::load);
    EXPECT_EQ(CArchiveException::readOnly, ArchiveCauseOf([&] { loader.Write(&c, 1); }));
    ar.Abort();
}

TEST(ArchiveStore, AClosedFileCannotTakeAnArchive)
{
    CFile file;
    EXPECT_EQ(CArchiveException::genericException,
              ArchiveCauseOf([&] { CArchive ar(&file, CArchive::load); }));
}

TEST(ArchiveLoad, ReadGivesWhatIsThereAndFlushGivesBackTheReadAhead)
{
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 10000; ++i)
    {
        bytes += static_cast<char>('a' + i % 26);
    }
    qvstest::WriteBytes(dir / L"a.bin", bytes);
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"a.bin", CFile::modeRead));
    CArchive ar(&file, CArchive::load, 4096);
    std::string got(5000, '\0');
    EXPECT_EQ(5000u, ar.Read(got.data(), 5000));
    EXPECT_EQ(bytes.substr(0, 5000), got);
    EXPECT_GT(file.GetPosition(), 5000u); // the archive has read ahead
    ar.Flush();
    EXPECT_EQ(5000u, file.GetPosition());
    std::string rest(8000, '\0');
    EXPECT_EQ(5000u, ar.Read(rest.data(), 8000));
    EXPECT_EQ(bytes.substr(5000), rest.substr(0, 5000));
}

TEST(ArchiveLoad, LinesLongerThanTheBufferAndSplitAtItsEdges)
{
    TempDir dir;
    // Line ends placed at and around every multiple of the buffer size.
    std::wstring text;
    std::vector<std::wstring> lines;
    for (size_t n : {2046u, 2047u, 2048u, 1u, 0u, 5000u, 9000u, 2045u})
    {
        std::wstring line;
        for (size_t i = 0; i < n; ++i)
        {
            line += static_cast<wchar_t>(0x3B1 + (i + n) % 20); // Greek letters
        }
        lines.push_back(line);
        text += line + L"\r\n";
    }
    qvstest::WriteUtf16(dir / L"l.txt", text);
    CFile file;
    ASSERT_TRUE(file.Open(dir / L"l.txt", CFile::modeRead));
    CArchive ar(&file, CArchive::load, 4096);
    std::wstring line;
    for (const auto& expected : lines)
    {
        ASSERT_TRUE(ar.ReadString(line));
        EXPECT_EQ(expected, line);
    }
    EXPECT_FALSE(ar.ReadString(line));
    EXPECT_TRUE(line.empty());
}

TEST(ArchiveLoad, ALineOverTheLimitOrAFileEndingInsideACodeUnitRaises)
{
    TempDir dir;
    qvstest::WriteBytes(dir / L"long.txt", Utf16Bytes(L"0123456789\r\n0123456789x\r\n"));
    qvstest::WriteBytes(dir / L"odd.txt", Utf16Bytes(L"ab\r") + "e");
    CFile longFile;
    CFile oddFile;
    ASSERT_TRUE(longFile.Open(dir / L"long.txt", CFile::modeRead));
    ASSERT_TRUE(oddFile.Open(dir / L"odd.txt", CFile::modeRead));
    CArchive longAr(&longFile, CArchive::load);
    CArchive oddAr(&oddFile, CArchive::load);
    std::wstring line;
    ASSERT_TRUE(longAr.ReadString(line, 10));
    EXPECT_EQ(L"0123456789", line);
    EXPECT_EQ(CArchiveException::badFormat, ArchiveCauseOf([&] { longAr.ReadString(line, 10); }));
    EXPECT_EQ(CArchiveException::endOfFile, ArchiveCauseOf([&] { oddAr.ReadString(line); }));
}
