#pragma once
// Owner of one open file: the saved scan results, the recovered-file writer and the disk images
// do all their file input and output through it. Nothing here throws; failures come back as
// false, 0 or all ones.
#include "platform/Types.h"

class CWin32File {
public:
    // Open modes: 0 read an existing file, 1 write an existing file, 2 read and write an
    // existing file, 3 read and write a file created anew (emptied when it exists), 4 read and
    // write, creating the file when it is missing.
    static constexpr u32 kModeRead = 0;
    static constexpr u32 kModeWrite = 1;
    static constexpr u32 kModeReadWrite = 2;
    static constexpr u32 kModeCreateAlways = 3;
    static constexpr u32 kModeOpenAlways = 4;

    CWin32File();
    CWin32File(const char* path, u32 mode);
    ~CWin32File();
    CWin32File(const CWin32File&) = delete;
    CWin32File& operator=(const CWin32File&) = delete;

    // Closes any open file first; a mode above 4 then fails without touching the path. Only a
    // regular file or a block device is opened (never a folder, FIFO, socket or character
    // device), and opening never waits.
    bool Open(const char* path, u32 mode);
    // The same for a path relative to an open folder (AT_FDCWD: the working folder), so that a
    // file deeper than the longest path can still be reached through its folder.
    bool OpenAt(int folder, const char* path, u32 mode);
    // Takes over an open descriptor (closing any file first); false, with fd closed, unless it is
    // a regular file or a block device.
    bool Adopt(int fd);
    void Close();
    bool IsFileHandleValid() const { return m_handle != -1; }

    bool Seek(u64 offset);
    bool QueryPosition(u64* out);
    u64 GetPosition();  // all ones on failure
    void SeekToBegin();
    void SeekToEnd();
    bool GetSize(u64* out);

    // True only when all n bytes were written.
    bool Write(const void* buffer, u32 n);
    // The number of bytes read, 0 when closed or nothing could be read.
    u32 Read(void* buffer, u32 n);
    bool Flush();

    // Writes the bytes, then CR LF unless they already end with CR LF.
    bool WriteLine(const char* bytes, u32 n);
    // Reads up to n bytes or through the first line feed (kept), then stores a terminating zero;
    // the buffer must hold n + 1 bytes. Returns the bytes stored, 0 (buffer untouched) at the end.
    u32 ReadLine(char* buffer, u32 n);

private:
    int m_handle = -1;
};
