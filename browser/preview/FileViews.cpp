#include "browser/preview/FileViews.h"

#include <iconv.h>

#include <QFontDatabase>
#include <QKeyEvent>
#include <QScrollBar>
#include <QWheelEvent>
#include <algorithm>
#include <cstdio>
#include <fstream>

#include "browser/model/BrowserConfig.h"

namespace FileSelCtrl {

namespace {
constexpr u8 kLineFeed = 10;
constexpr u8 kHighBit = 0x7F;
constexpr const char* kHexHeader = "Offset  \t\t\t0\t1\t2\t3\t4\t5\t6\t7\t8\t9\tA\tB\tC\tD\tE\tF\r\n";
// Tab stops of the hex page: offset, bytes and characters line up under the header.
constexpr int kTabStopChars = 3;
constexpr int kLanguageJapanese = 1;
constexpr char kNoCharacter = '.';

// Whether a decoded character draws as something: controls, format marks, private-use and
// unassigned code points have no glyph of their own and would show as nothing or an empty box.
bool HasGlyph(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control:
    case QChar::Other_Format:
    case QChar::Other_Surrogate:
    case QChar::Other_PrivateUse:
    case QChar::Other_NotAssigned: return false;
    default: return true;
    }
}

// The character column of the hex page reads the bytes in the code page of the interface
// language, as that language's system shows them: Windows-1252 for the Western languages,
// Shift-JIS (code page 932) for Japanese, where a lead byte and the byte after it in the same
// line make one character.
class HexColumnDecoder {
public:
    explicit HexColumnDecoder(int language)
        : doubleByte_(language == kLanguageJapanese), cd_(iconv_open("UTF-8", doubleByte_ ? "CP932" : "WINDOWS-1252")) {}
    ~HexColumnDecoder() {
        if (Usable()) iconv_close(cd_);
    }
    HexColumnDecoder(const HexColumnDecoder&) = delete;
    HexColumnDecoder& operator=(const HexColumnDecoder&) = delete;

    // The bytes as UTF-8 text: a byte below kFirstShownByte, a byte the code page leaves
    // undefined and a character without a glyph each show as a dot.
    std::string Column(const u8* bytes, u32 count) {
        std::string out;
        for (u32 i = 0; i < count;) {
            if (bytes[i] < kFirstShownByte) {
                out += kNoCharacter;
                ++i;
            } else if (doubleByte_ && IsLeadByte(bytes[i]) && i + 1 < count && Decode(bytes + i, 2, out)) {
                i += 2;
            } else {
                if (!Decode(bytes + i, 1, out)) out += kNoCharacter;
                ++i;
            }
        }
        return out;
    }

private:
    bool Usable() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
    static bool IsLeadByte(u8 b) { return (b >= 0x81 && b <= 0x9F) || (b >= 0xE0 && b <= 0xFC); }
    // Appends the one character the n bytes make, when they make exactly one that draws.
    bool Decode(const u8* bytes, size_t n, std::string& out) {
        if (!Usable()) {
            // Without the converter only the printable ASCII bytes are sure.
            if (n != 1 || bytes[0] >= kHighBit) return false;
            out += static_cast<char>(bytes[0]);
            return true;
        }
        char in[2] = {static_cast<char>(bytes[0]), n > 1 ? static_cast<char>(bytes[1]) : '\0'};
        char* from = in;
        size_t fromLeft = n;
        char utf8[8];
        char* to = utf8;
        size_t toLeft = sizeof utf8;
        iconv(cd_, nullptr, nullptr, nullptr, nullptr);
        if (iconv(cd_, &from, &fromLeft, &to, &toLeft) == static_cast<size_t>(-1) || fromLeft != 0) return false;
        const QString decoded = QString::fromUtf8(utf8, static_cast<qsizetype>(sizeof utf8 - toLeft));
        const QList<uint> points = decoded.toUcs4();
        if (points.size() != 1 || !HasGlyph(points[0])) return false;
        out.append(utf8, sizeof utf8 - toLeft);
        return true;
    }

    bool doubleByte_;
    iconv_t cd_;
};
}  // namespace

CFilePreViewEdit::CFilePreViewEdit(QWidget* parent) : QPlainTextEdit(parent) {
    setReadOnly(true);
    setLineWrapMode(QPlainTextEdit::NoWrap);
    setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    ApplyTabStops();
}

void CFilePreViewEdit::ApplyTabStops() {
    const QFontMetricsF metrics(document()->defaultFont());
    setTabStopDistance(metrics.horizontalAdvance(QString(kTabStopChars, QLatin1Char('0'))));
}

CFilePreViewEdit::~CFilePreViewEdit() = default;

void CFilePreViewEdit::Reset() {
    m_buffer.clear();
    m_buffer.shrink_to_fit();
    m_lineCount = 0;
    m_pageLines = 1;
    m_fileLength = 0;
    m_windowStart = m_windowEnd = 0;
}

bool CFilePreViewEdit::Open(const std::string& path) {
    m_path = path;
    if (LoadFile()) {
        UpdatePageSize();
        return true;
    }
    Reset();
    clear();
    return false;
}

bool CFilePreViewEdit::ReadFileHead() {
    std::ifstream in(m_path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff length = in.tellg();
    if (length < 0 || static_cast<u64>(length) > kMaxViewFileBytes) return false;
    m_fileLength = static_cast<u64>(length);
    const size_t size = static_cast<size_t>(std::min<u64>(m_fileLength, kViewWindowBytes));
    try {
        m_buffer.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    in.seekg(0);
    in.read(reinterpret_cast<char*>(m_buffer.data()), static_cast<std::streamsize>(size));
    m_windowStart = 0;
    m_windowEnd = static_cast<u64>(in.gcount());
    return true;
}

i64 CFilePreViewEdit::ReadWindow(u64 offset, u32 count) {
    if (offset >= m_windowStart && offset + count <= m_windowEnd) return static_cast<i64>(offset - m_windowStart);
    if (m_buffer.empty()) return -1;
    std::ifstream in(m_path, std::ios::binary);
    if (!in) return -1;
    in.seekg(static_cast<std::streamoff>(offset));
    if (!in || static_cast<u64>(in.tellg()) != offset) return -1;
    in.read(reinterpret_cast<char*>(m_buffer.data()), static_cast<std::streamsize>(m_buffer.size()));
    m_windowStart = offset;
    m_windowEnd = offset + static_cast<u64>(in.gcount());
    return m_windowEnd - m_windowStart >= count ? 0 : -1;
}

void CFilePreViewEdit::ClampPage(u32 firstLine, u32& first, u32& end) const {
    first = firstLine;
    if (static_cast<u64>(first) + m_pageLines > m_lineCount) first = m_lineCount > m_pageLines ? m_lineCount - m_pageLines : 0;
    end = static_cast<u32>(std::min<u64>(static_cast<u64>(first) + m_pageLines, m_lineCount));
}

void CFilePreViewEdit::ShowLines(u32 firstLine) {
    if (m_lineCount == 0) return;
    setPlainText(ToDisplay(GetPageText(firstLine)));
    moveCursor(QTextCursor::Start);
    // Found bytes may begin the page with what reads as a right-to-left word, whose start lies
    // at the right end of its line: the page still shows from its left edge.
    horizontalScrollBar()->setValue(horizontalScrollBar()->minimum());
}

QString CFilePreViewEdit::ToDisplay(const std::string& page) const {
    return QString::fromUtf8(page.data(), static_cast<qsizetype>(page.size())).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

void CFilePreViewEdit::UpdatePageSize() {
    ApplyTabStops();
    if (m_lineCount == 0) return;
    const int lineHeight = std::max(1, fontMetrics().lineSpacing());
    m_pageLines = static_cast<u32>(std::max(1, viewport()->height() / lineHeight));
}

void CFilePreViewEdit::resizeEvent(QResizeEvent* event) {
    QPlainTextEdit::resizeEvent(event);
    UpdatePageSize();
}

// Typing and the context menu do nothing; keys and the wheel move the dialog's scroll bar.
void CFilePreViewEdit::keyPressEvent(QKeyEvent* event) {
    if (keyPressed) keyPressed(event->key());
}

void CFilePreViewEdit::wheelEvent(QWheelEvent* event) {
    if (scrollBy) scrollBy(event->angleDelta().y() <= 0 ? 1 : -1);
    event->accept();
}

void CFilePreViewEdit::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }

// ---- hex

bool CHexFilePreViewEdit::LoadFile() {
    if (!ReadFileHead()) return false;
    m_lineCount = static_cast<u32>(m_fileLength / kHexBytesPerLine + (m_fileLength % kHexBytesPerLine ? 1 : 0));
    return true;
}

void CHexFilePreViewEdit::UpdatePageSize() {
    CFilePreViewEdit::UpdatePageSize();
    // One line is the header.
    if (m_lineCount != 0 && m_pageLines > 1) --m_pageLines;
}

std::string CHexFilePreViewEdit::GetPageText(u32 firstLine) {
    std::string text = kHexHeader;
    u32 first = 0, end = 0;
    ClampPage(firstLine, first, end);
    char cell[16];
    HexColumnDecoder column(CFileSelCtrlConfig::Instance().GetLanguage());
    for (u32 line = first; line < end; ++line) {
        const u64 offset = static_cast<u64>(line) * kHexBytesPerLine;
        // Every line but the last ends its byte columns without a trailing tab.
        const bool full = offset + kHexBytesPerLine < m_fileLength;
        const u32 count = full ? kHexBytesPerLine : static_cast<u32>(m_fileLength - offset);
        const i64 at = ReadWindow(offset, count);
        if (at < 0) continue;
        const u8* bytes = Buffer() + at;
        std::snprintf(cell, sizeof(cell), "%08X\t\t", static_cast<unsigned>(offset));
        text += cell;
        for (u32 i = 0; i < count; ++i) {
            std::snprintf(cell, sizeof(cell), full && i + 1 == kHexBytesPerLine ? "%02X" : "%02X\t", bytes[i]);
            text += cell;
        }
        for (u32 i = count; i < kHexBytesPerLine; ++i) text += " \t";
        text += "\t\t" + column.Column(bytes, count) + "\t\r\n";
    }
    return text;
}

// The columns are laid out here rather than by the control's tab stops: in an even-width font
// the header's label and the offsets are equally wide, so the header needs one tab fewer than
// the lines to put the column numbers over their bytes. The last line's byte cells all end in a
// tab (a full line's last one does not), so it too has one tab more before its characters.
QString CHexFilePreViewEdit::ToDisplay(const std::string& page) const {
    QString shown = CFilePreViewEdit::ToDisplay(page);
    const QString header = QStringLiteral("Offset  \t\t\t");
    if (shown.startsWith(header)) shown.replace(0, header.size(), QStringLiteral("Offset  \t\t"));
    // Nowhere else do three tabs follow each other: a byte cell is never empty.
    shown.replace(QStringLiteral("\t\t\t"), QStringLiteral("\t\t"));
    QString laidOut;
    laidOut.reserve(shown.size() * 2);
    int column = 0;
    for (const QChar c : shown) {
        if (c == QLatin1Char('\t')) {
            const int next = (column / kTabStopChars + 1) * kTabStopChars;
            laidOut.append(QString(next - column, QLatin1Char(' ')));
            column = next;
        } else {
            laidOut.append(c);
            column = c == QLatin1Char('\n') ? 0 : column + 1;
        }
    }
    return laidOut;
}

u32 CHexFilePreViewEdit::OffsetToLine(u64 offset) const {
    return offset >= m_fileLength ? 0 : static_cast<u32>(offset / kHexBytesPerLine);
}

u64 CHexFilePreViewEdit::LineToOffset(u32 line) const {
    return line >= m_lineCount ? 0 : static_cast<u64>(line) * kHexBytesPerLine;
}

// ---- text

bool CTextFilePreViewEdit::LoadFile() {
    if (!ReadFileHead()) return false;
    m_index.assign(1, 0);
    u64 breakPos = 0;
    u32 highRun = 0;
    for (u64 p = 0; p + 1 < m_fileLength; ++p) {
        const i64 at = ReadWindow(p, 1);
        if (at < 0) break;
        const u8 byte = Buffer()[at];
        highRun = byte > kHighBit ? highRun + 1 : 0;
        if (p - breakPos + 1 == kTextMaxLineBytes) {
            // A double-byte character is not split between two lines.
            if (highRun % 2 == 1) {
                --p;
                --highRun;
            }
            m_index.push_back(static_cast<u32>(p + 1));
            breakPos = p;
        } else if (byte == kLineFeed) {
            m_index.push_back(static_cast<u32>(p + 1));
            breakPos = p;
        }
    }
    if (m_index.back() < m_fileLength) m_index.push_back(static_cast<u32>(m_fileLength));
    m_lineCount = static_cast<u32>(m_index.size() - 1);
    return true;
}

std::string CTextFilePreViewEdit::GetPageText(u32 firstLine) {
    std::string text;
    u32 first = 0, end = 0;
    ClampPage(firstLine, first, end);
    for (u32 line = first; line < end && line + 1 < m_index.size(); ++line) {
        const u32 count = std::min(m_index[line + 1] - m_index[line], kTextMaxLineBytes);
        const i64 at = ReadWindow(m_index[line], count);
        if (at < 0) continue;
        std::string bytes(reinterpret_cast<const char*>(Buffer() + at), count);
        for (char& c : bytes)
            if (static_cast<u8>(c) < kFirstShownByte) c = ' ';
        text += bytes + "\t\r\n";
    }
    return text;
}

// Text is read in the system's own encoding; the hex page's character column stays one
// character a byte.
QString CTextFilePreViewEdit::ToDisplay(const std::string& page) const {
    return QString::fromLocal8Bit(page.data(), static_cast<qsizetype>(page.size())).replace(QLatin1String("\r\n"), QLatin1String("\n"));
}

u32 CTextFilePreViewEdit::OffsetToLine(u64 offset) const {
    if (offset >= m_fileLength || m_lineCount < 2) return 0;
    u32 lo = 0, hi = m_lineCount;
    while (hi - lo > 1) {
        const u32 mid = (lo + hi) / 2;
        if (m_index[mid] > offset) hi = mid;
        else lo = mid;
    }
    return lo;
}

u64 CTextFilePreViewEdit::LineToOffset(u32 line) const {
    return line >= m_lineCount || m_index.empty() ? 0 : m_index[line];
}

}  // namespace FileSelCtrl
