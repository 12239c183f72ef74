#pragma once
// The numbers of the framework's own texts in the program's string table
// (res/AfxRes.rc, included by every program's resources). Read with AfxLoadString.

#define AFX_IDS_MEMORY_EXCEPTION 0xF100
#define AFX_IDS_NOT_SUPPORTED_EXCEPTION 0xF101
#define AFX_IDS_RESOURCE_EXCEPTION 0xF102
#define AFX_IDS_FILE_EXCEPTION 0xF103
#define AFX_IDS_ARCHIVE_END_OF_FILE 0xF104
#define AFX_IDS_ARCHIVE_BAD_FORMAT 0xF105
#define AFX_IDS_ARCHIVE_READ_ONLY 0xF106
#define AFX_IDS_ARCHIVE_WRITE_ONLY 0xF107
#define AFX_IDS_ARCHIVE_GENERIC 0xF108
#define AFX_IDS_ERROR_CODE 0xF109 // "Error %1."
