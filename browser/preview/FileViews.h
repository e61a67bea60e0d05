#pragma once
// The preview dialog's text and hex pages. Neither ever holds the whole file: bytes come through
// a window buffer of at most 1 MiB and only the lines of the visible page are put into the
// control; the dialog's own scroll bar chooses the first line.
#include <QPlainTextEdit>
#include <functional>
#include <string>
#include <vector>

#include "platform/Types.h"

namespace FileSelCtrl {

constexpr u64 kMaxViewFileBytes = 0x6400000;  // 100 MiB
constexpr u32 kViewWindowBytes = 0x100000;
constexpr u32 kHexBytesPerLine = 16;
constexpr u32 kTextMaxLineBytes = 160;
// Bytes below this are control characters and are not shown as they are.
constexpr u8 kFirstShownByte = 30;

class CFilePreViewEdit : public QPlainTextEdit {
    Q_OBJECT
public:
    explicit CFilePreViewEdit(QWidget* parent = nullptr);
    ~CFilePreViewEdit() override;

    // False (and an empty view) when the file cannot be opened or is larger than 100 MiB.
    bool Open(const std::string& path);
    void ShowLines(u32 firstLine);
    u32 LineCount() const { return m_lineCount; }
    u32 PageLines() const { return m_pageLines; }
    u64 FileLength() const { return m_fileLength; }

    virtual u32 OffsetToLine(u64 offset) const = 0;
    virtual u64 LineToOffset(u32 line) const = 0;
    virtual std::string GetPageText(u32 firstLine) = 0;
    virtual void UpdatePageSize();

    // Where the keys and wheel turns go (the dialog's scroll handling): +1 line down, -1 up, or
    // a key.
    std::function<void(int lines)> scrollBy;
    std::function<void(int key)> keyPressed;

protected:
    virtual bool LoadFile() = 0;
    // The page text as the control shows it.
    virtual QString ToDisplay(const std::string& page) const;
    bool ReadFileHead();
    // Offset of the range in the buffer, -1 when it cannot be had.
    i64 ReadWindow(u64 offset, u32 count);
    // The first line and the end of a page starting at firstLine.
    void ClampPage(u32 firstLine, u32& first, u32& end) const;
    const u8* Buffer() const { return m_buffer.data(); }

    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;

    u32 m_lineCount = 0;
    u32 m_pageLines = 1;
    u64 m_fileLength = 0;

private:
    void Reset();
    void ApplyTabStops();

    std::string m_path;
    std::vector<u8> m_buffer;
    u64 m_windowStart = 0;
    u64 m_windowEnd = 0;
};

class CHexFilePreViewEdit : public CFilePreViewEdit {
    Q_OBJECT
public:
    using CFilePreViewEdit::CFilePreViewEdit;
    u32 OffsetToLine(u64 offset) const override;
    u64 LineToOffset(u32 line) const override;
    std::string GetPageText(u32 firstLine) override;
    void UpdatePageSize() override;

protected:
    bool LoadFile() override;
    QString ToDisplay(const std::string& page) const override;
};

class CTextFilePreViewEdit : public CFilePreViewEdit {
    Q_OBJECT
public:
    using CFilePreViewEdit::CFilePreViewEdit;
    u32 OffsetToLine(u64 offset) const override;
    u64 LineToOffset(u32 line) const override;
    std::string GetPageText(u32 firstLine) override;
    const std::vector<u32>& LineIndex() const { return m_index; }

protected:
    bool LoadFile() override;
    QString ToDisplay(const std::string& page) const override;

private:
    std::vector<u32> m_index;
};

}  // namespace FileSelCtrl
