#pragma once
// The journal as NTFS writes it, for the tests: log records appended one after the other across
// 4096-byte pages, each page with its header and update sequence, and the log records that
// carry a whole MFT record image or undo data. Header-only, so that the end-to-end tests can lay
// a journal into an image the file-system tools made.
#include <algorithm>
#include <vector>

#include "ImageDevice.h"
#include "fs/ntfs/NTFSLogFile.h"
#include "platform/Types.h"

namespace ntfslogtest {

constexpr u32 kPage = 4096;

// Writes v little-endian in `bytes` bytes at `at`.
inline void Put(std::vector<u8>& b, size_t at, u64 v, u32 bytes) {
    for (u32 i = 0; i < bytes; ++i) b[at + i] = u8(v >> (8 * i));
}

// Writes log records one after the other across pages, as the journal does, and keeps for each
// page the last record that begins and the last that ends on it.
class LogWriter {
public:
    explicit LogWriter(u32 pages) : m_pages(pages, std::vector<u8>(kPage, 0)), m_last(pages, 0), m_lastEnd(pages, 0),
                                    m_used(pages, false) {}
    void Seek(u32 page, u32 offset) {
        m_page = page;
        m_offset = offset;
    }
    void Append(u64 lsn, const std::vector<u8>& record) {
        if (kPage - m_offset < 48) Next();
        m_used[m_page] = true;
        m_last[m_page] = lsn;
        for (size_t i = 0; i < record.size();) {
            if (m_offset >= kPage) {
                Next();
                m_used[m_page] = true;
                if (m_last[m_page] == 0) m_last[m_page] = lsn;
            }
            const size_t n = std::min<size_t>(record.size() - i, kPage - m_offset);
            std::copy(record.begin() + long(i), record.begin() + long(i + n), m_pages[m_page].begin() + m_offset);
            i += n;
            m_offset += u32(n);
        }
        m_lastEnd[m_page] = lsn;
    }
    // The pages as the device holds them: header, then the update sequence over each sector.
    std::vector<std::vector<u8>> DevicePages() const {
        std::vector<std::vector<u8>> pages = m_pages;
        for (size_t p = 0; p < pages.size(); ++p) {
            if (!m_used[p]) continue;
            std::vector<u8>& page = pages[p];
            std::copy_n("RCRD", 4, page.begin());
            Put(page, 4, 40, 2);
            Put(page, 6, 9, 2);
            Put(page, 8, m_last[p], 8);
            Put(page, 32, m_lastEnd[p], 8);
            const u16 usn = 0x0707;
            Put(page, 40, usn, 2);
            for (u32 i = 1; i <= 8; ++i) {
                page[40 + 2 * i] = page[i * 512 - 2];
                page[40 + 2 * i + 1] = page[i * 512 - 1];
                Put(page, i * 512 - 2, usn, 2);
            }
        }
        return pages;
    }
    void WriteTo(testutil::MemoryDevice& device, u64 byteOffset) const {
        const std::vector<std::vector<u8>> pages = DevicePages();
        for (size_t p = 0; p < pages.size(); ++p) device.Put(byteOffset + p * kPage, pages[p]);
    }

private:
    void Next() {
        m_page = m_page + 1 < m_pages.size() ? m_page + 1 : ntfslog::kFirstRecordPage;
        m_offset = ntfslog::kPageHeaderSize;
    }
    std::vector<std::vector<u8>> m_pages;
    std::vector<u64> m_last, m_lastEnd;
    std::vector<bool> m_used;
    u32 m_page = ntfslog::kFirstRecordPage;
    u32 m_offset = ntfslog::kPageHeaderSize;
};

inline std::vector<u8> LogRecord(u64 lsn, const std::vector<u8>& client) {
    std::vector<u8> r(48 + client.size(), 0);
    Put(r, 0, lsn, 8);
    Put(r, 24, client.size(), 4);
    std::copy(client.begin(), client.end(), r.begin() + 48);
    return r;
}

// A client body whose redo data is a whole MFT record image.
inline std::vector<u8> ImageRecord(u64 lsn, const std::vector<u8>& image) {
    std::vector<u8> client(40, 0);
    Put(client, 4, 40, 2);
    client.insert(client.end(), image.begin(), image.end());
    return LogRecord(lsn, client);
}

inline std::vector<u8> UndoRecord(u64 lsn, u16 recordOffset, u16 attributeOffset, u16 blockOffset, u32 vcn,
                                  const std::vector<u8>& undo) {
    std::vector<u8> client(40, 0);
    Put(client, 8, 40, 2);
    Put(client, 10, undo.size(), 2);
    Put(client, 16, recordOffset, 2);
    Put(client, 18, attributeOffset, 2);
    Put(client, 20, blockOffset, 2);
    Put(client, 24, vcn, 4);
    client.insert(client.end(), undo.begin(), undo.end());
    return LogRecord(lsn, client);
}

inline std::vector<u8> Filler(u64 lsn, size_t clientLength = 40) {
    return LogRecord(lsn, std::vector<u8>(clientLength, 0));
}

}  // namespace ntfslogtest
