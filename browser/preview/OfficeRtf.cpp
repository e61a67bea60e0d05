#include "browser/preview/OfficeRtf.h"

#include <QColor>
#include <QFile>
#include <QKeyEvent>
#include <QMimeData>
#include <QProcess>
#include <QStandardPaths>
#include <QTextBlockFormat>
#include <QTextCursor>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "browser/preview/PreviewTemp.h"
#include "core/Shell.h"
#include "platform/Registry.h"

namespace FileSelCtrl {

namespace {

// ---- compound files
constexpr u8 kCompoundSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr size_t kHeaderBytes = 512;
constexpr size_t kSectorShiftAt = 0x1E;
constexpr size_t kFatSectorCountAt = 0x2C;
constexpr size_t kFirstDirSectorAt = 0x30;
constexpr size_t kDifatAt = 0x4C;
constexpr u32 kHeaderDifatEntries = 109;
constexpr u32 kSmallSectorShift = 9;
constexpr u32 kLargeSectorShift = 12;
constexpr u32 kLastRegularSector = 0xFFFFFFFA;
constexpr size_t kDirEntryBytes = 128;
constexpr size_t kDirNameBytes = 64;
constexpr size_t kDirNameLengthAt = 0x40;
constexpr size_t kDirTypeAt = 0x42;
constexpr u8 kDirTypeStream = 2;
constexpr u64 kMaxCompoundBytes = 0x6400000;

u32 ReadU32(const std::vector<u8>& b, size_t at) {
    return at + 4 <= b.size() ? static_cast<u32>(b[at]) | (static_cast<u32>(b[at + 1]) << 8) |
                                    (static_cast<u32>(b[at + 2]) << 16) | (static_cast<u32>(b[at + 3]) << 24)
                              : 0;
}
u16 ReadU16(const std::vector<u8>& b, size_t at) {
    return at + 2 <= b.size() ? static_cast<u16>(b[at] | (b[at + 1] << 8)) : 0;
}

bool EqualsNoCase(const std::string& a, const char* b) {
    const size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
    return true;
}

// ---- rich text
constexpr int kMaxRtfDepth = 64;
constexpr int kHalfPointsPerPoint = 2;
constexpr int kDefaultHalfPoints = 24;
constexpr int kHexDigits = 2;

const char* const kSkippedDestinations[] = {"fonttbl", "stylesheet", "info", "pict", "object", "header", "footer",
                                            "listtable", "listoverridetable", "themedata", "colorschememapping",
                                            "latentstyles", "datastore", "xmlnstbl", "rsidtbl", "generator",
                                            "filetbl", "revtbl", "fldinst", "bkmkstart", "bkmkend"};

struct RtfState {
    bool bold = false, italic = false, underline = false, skip = false;
    int halfPoints = kDefaultHalfPoints;
    int colour = 0;
    int unicodeSkip = 1;
};

class RtfReader {
public:
    RtfReader(const std::string& text, QTextDocument& doc) : m_text(text), m_cursor(&doc) {}

    void Run() {
        std::vector<RtfState> stack{RtfState{}};
        bool inColourTable = false;
        int colourR = 0, colourG = 0, colourB = 0;
        size_t skipChars = 0;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            RtfState& s = stack.back();
            if (c == '{') {
                if (static_cast<int>(stack.size()) >= kMaxRtfDepth) return;
                stack.push_back(s);
                continue;
            }
            if (c == '}') {
                inColourTable = false;
                if (stack.size() > 1) stack.pop_back();
                continue;
            }
            if (c == '\r' || c == '\n') continue;
            if (c != '\\') {
                if (skipChars > 0) {
                    --skipChars;
                    continue;
                }
                if (inColourTable) {
                    if (c == ';') {
                        m_colours.push_back(QColor(colourR, colourG, colourB));
                        colourR = colourG = colourB = 0;
                    }
                    continue;
                }
                if (!s.skip) Emit(QString(QChar::fromLatin1(c)), s);
                continue;
            }
            if (m_at >= m_text.size()) return;
            const char n = m_text[m_at];
            if (n == '\\' || n == '{' || n == '}') {
                ++m_at;
                if (!s.skip && !inColourTable) Emit(QString(QChar::fromLatin1(n)), s);
                continue;
            }
            if (n == '\'') {
                ++m_at;
                if (m_at + kHexDigits > m_text.size()) return;
                bool ok = false;
                const int value = QString::fromLatin1(m_text.substr(m_at, kHexDigits).c_str()).toInt(&ok, 16);
                m_at += kHexDigits;
                if (skipChars > 0) {
                    --skipChars;
                    continue;
                }
                if (ok && !s.skip) Emit(QString(QChar::fromLatin1(static_cast<char>(value))), s);
                continue;
            }
            if (n == '*') {
                ++m_at;
                s.skip = true;
                continue;
            }
            if (!std::isalpha(static_cast<unsigned char>(n))) {
                ++m_at;
                if (n == '~' && !s.skip) Emit(QString(QChar(0xA0)), s);
                continue;
            }
            std::string word;
            while (m_at < m_text.size() && std::isalpha(static_cast<unsigned char>(m_text[m_at]))) word += m_text[m_at++];
            bool hasParam = false;
            long param = 0;
            bool negative = false;
            if (m_at < m_text.size() && m_text[m_at] == '-') {
                negative = true;
                ++m_at;
            }
            int digits = 0;
            while (m_at < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_at])) && digits < 10) {
                param = param * 10 + (m_text[m_at++] - '0');
                hasParam = true;
                ++digits;
            }
            if (negative) param = -param;
            if (m_at < m_text.size() && m_text[m_at] == ' ') ++m_at;
            skipChars = 0;
            if (word == "colortbl") {
                inColourTable = true;
                s.skip = false;
                continue;
            }
            if (inColourTable) {
                if (word == "red") colourR = std::clamp<int>(static_cast<int>(param), 0, 255);
                else if (word == "green") colourG = std::clamp<int>(static_cast<int>(param), 0, 255);
                else if (word == "blue") colourB = std::clamp<int>(static_cast<int>(param), 0, 255);
                continue;
            }
            if (std::find_if(std::begin(kSkippedDestinations), std::end(kSkippedDestinations),
                             [&](const char* d) { return word == d; }) != std::end(kSkippedDestinations)) {
                s.skip = true;
                continue;
            }
            if (s.skip) continue;
            const bool on = !hasParam || param != 0;
            if (word == "par" || word == "line") m_cursor.insertBlock();
            else if (word == "tab") Emit(QStringLiteral("\t"), s);
            else if (word == "b") s.bold = on;
            else if (word == "i") s.italic = on;
            else if (word == "ul") s.underline = on;
            else if (word == "ulnone") s.underline = false;
            else if (word == "plain") s.bold = s.italic = s.underline = false, s.halfPoints = kDefaultHalfPoints, s.colour = 0;
            else if (word == "fs" && hasParam && param > 0 && param < 2000) s.halfPoints = static_cast<int>(param);
            else if (word == "cf" && hasParam) s.colour = static_cast<int>(param);
            else if (word == "uc" && hasParam) s.unicodeSkip = std::clamp<int>(static_cast<int>(param), 0, 4);
            else if (word == "u" && hasParam) {
                Emit(QString(QChar(static_cast<char16_t>(param < 0 ? param + 65536 : param))), s);
                skipChars = static_cast<size_t>(s.unicodeSkip);
            }
        }
    }

private:
    void Emit(const QString& text, const RtfState& s) {
        QTextCharFormat f;
        f.setFontWeight(s.bold ? QFont::Bold : QFont::Normal);
        f.setFontItalic(s.italic);
        f.setFontUnderline(s.underline);
        f.setFontPointSize(static_cast<qreal>(s.halfPoints) / kHalfPointsPerPoint);
        if (s.colour > 0 && static_cast<size_t>(s.colour) < m_colours.size()) f.setForeground(m_colours[s.colour]);
        m_cursor.insertText(text, f);
    }

    const std::string& m_text;
    QTextCursor m_cursor;
    size_t m_at = 0;
    std::vector<QColor> m_colours;
};

ViewerStarter g_starter;

bool DesktopStarter(const OpenerCommand& command, const std::string& mimeType) {
    if (QStandardPaths::findExecutable(command.program).isEmpty()) return false;
    // Without a default application for the type the opener would only fail on its own.
    const QString mime = QStandardPaths::findExecutable(QStringLiteral("xdg-mime"));
    if (!mime.isEmpty()) {
        QProcess query;
        query.start(mime, {QStringLiteral("query"), QStringLiteral("default"), QString::fromStdString(mimeType)});
        if (!query.waitForFinished(3000) || query.readAllStandardOutput().trimmed().isEmpty()) return false;
    }
    return QProcess::startDetached(command.program, command.arguments);
}

std::string LowerEnding(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos) return {};
    std::string ending = name.substr(dot);
    for (char& c : ending) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ending;
}

}  // namespace

bool ReadCompoundStorage(const std::vector<u8>& b, CompoundStorage& storage) {
    storage.streams.clear();
    if (b.size() < kHeaderBytes || std::memcmp(b.data(), kCompoundSignature, sizeof(kCompoundSignature)) != 0) return false;
    const u32 shift = ReadU16(b, kSectorShiftAt);
    if (shift != kSmallSectorShift && shift != kLargeSectorShift) return false;
    const size_t sector = size_t{1} << shift;
    const u64 sectorsInFile = b.size() / sector;
    auto sectorAt = [&](u32 id) -> size_t { return (static_cast<size_t>(id) + 1) * sector; };
    // The allocation table, from the header's own list of its sectors.
    std::vector<u32> fat;
    const u32 fatSectors = std::min(ReadU32(b, kFatSectorCountAt), kHeaderDifatEntries);
    for (u32 i = 0; i < fatSectors; ++i) {
        const u32 id = ReadU32(b, kDifatAt + 4 * i);
        if (id > kLastRegularSector || sectorAt(id) + sector > b.size()) break;
        for (size_t at = sectorAt(id); at < sectorAt(id) + sector; at += 4) fat.push_back(ReadU32(b, at));
    }
    u32 dir = ReadU32(b, kFirstDirSectorAt);
    for (u64 walked = 0; dir <= kLastRegularSector && walked < sectorsInFile; ++walked) {
        const size_t start = sectorAt(dir);
        if (start + sector > b.size()) break;
        for (size_t e = start; e + kDirEntryBytes <= start + sector; e += kDirEntryBytes) {
            if (b[e + kDirTypeAt] != kDirTypeStream) continue;
            const size_t nameBytes = std::min<size_t>(ReadU16(b, e + kDirNameLengthAt), kDirNameBytes);
            std::string name;
            for (size_t i = 0; i + 1 < nameBytes; i += 2) {
                const u16 ch = ReadU16(b, e + i);
                if (ch == 0) break;
                name += ch < 0x80 ? static_cast<char>(ch) : '?';
            }
            storage.streams.push_back(std::move(name));
        }
        if (dir >= fat.size()) break;
        dir = fat[dir];
    }
    return true;
}

bool HasWordStream(const CompoundStorage& storage) {
    return std::any_of(storage.streams.begin(), storage.streams.end(), [](const std::string& n) { return EqualsNoCase(n, "WordDocument"); });
}

bool HasWorkbookStream(const CompoundStorage& storage) {
    return std::any_of(storage.streams.begin(), storage.streams.end(),
                       [](const std::string& n) { return EqualsNoCase(n, "Book") || EqualsNoCase(n, "Workbook"); });
}

namespace {
OfficeKind KindOf(const CompoundStorage& storage) {
    if (HasWordStream(storage)) return OfficeKind::Word;
    return HasWorkbookStream(storage) ? OfficeKind::Workbook : OfficeKind::None;
}
}  // namespace

OfficeKind OldOfficeDocumentKind(const std::vector<u8>& b) {
    CompoundStorage storage;
    return ReadCompoundStorage(b, storage) ? KindOf(storage) : OfficeKind::None;
}

bool IsCompoundFile(const std::string& path, CompoundStorage& storage) {
    storage.streams.clear();
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size < static_cast<std::streamoff>(kHeaderBytes) || static_cast<u64>(size) > kMaxCompoundBytes) return false;
    // Most files are no compound file: their first bytes tell, before the whole file is read.
    u8 signature[sizeof(kCompoundSignature)] = {};
    in.seekg(0);
    in.read(reinterpret_cast<char*>(signature), sizeof(signature));
    if (!in || std::memcmp(signature, kCompoundSignature, sizeof(signature)) != 0) return false;
    std::vector<u8> bytes(static_cast<size_t>(size));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(bytes.data()), size);
    if (in.gcount() != size) return false;
    return ReadCompoundStorage(bytes, storage);
}

OfficeKind OldOfficeDocumentKind(const std::string& path) {
    CompoundStorage storage;
    return IsCompoundFile(path, storage) ? KindOf(storage) : OfficeKind::None;
}

bool IsRtfFile(const std::string& path) {
    constexpr size_t kProbe = 512;
    constexpr size_t kMinBytes = 4;
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    const std::streamoff size = in.tellg();
    if (size <= static_cast<std::streamoff>(kMinBytes)) return false;
    char head[kProbe] = {};
    in.seekg(0);
    in.read(head, kProbe);
    static const char kHead[] = "{\\rtf";
    for (size_t i = 0; i < kMinBytes; ++i)
        if (std::tolower(static_cast<unsigned char>(head[i])) != kHead[i]) return false;
    char tail[kProbe] = {};
    size_t tailBytes = static_cast<size_t>(size);
    if (static_cast<size_t>(size) <= kProbe) {
        std::memcpy(tail, head, tailBytes);
    } else {
        in.clear();
        in.seekg(size - static_cast<std::streamoff>(kProbe));
        in.read(tail, kProbe);
        tailBytes = static_cast<size_t>(in.gcount());
    }
    for (size_t i = tailBytes; i-- > 0;) {
        if (tail[i] == '\r' || tail[i] == '\n' || tail[i] == '\0') continue;
        return tail[i] == '}';
    }
    return false;
}

void RtfToDocument(const std::string& rtf, QTextDocument& document) {
    document.clear();
    RtfReader(rtf, document).Run();
}

OpenerCommand DesktopOpenerCommand(const std::string& path) {
    return {QStringLiteral("xdg-open"), {QString::fromStdString(path)}};
}

namespace {
// The Version key of the Word document class, in the registry's 64-bit view.
constexpr const char* kWordVersionKey = "SOFTWARE\\Classes\\CLSID\\{00020906-0000-0000-C000-000000000046}\\Version";
// The key's default value, as exported registry files name it.
constexpr const char* kDefaultValueName = "@";
constexpr size_t kMaxVersionBytes = 260;
constexpr int kFirstNewWordVersion = 8;
const char* const kWorkbookNameParts[] = {".XLSX", ".xlsx", ".xls", ".XLS"};

std::atomic<bool> g_newWordDone{false};
std::atomic<bool> g_newWordInstalled{false};
}  // namespace

bool ReadNewWordInstalled() {
    std::string version;
    if (!RegistryReadBoundedString(kWordVersionKey, kDefaultValueName, kMaxVersionBytes, version)) return false;
    return std::atoi(version.c_str()) >= kFirstNewWordVersion;
}

bool IsNewWordInstalled() {
    // Two threads asking at once both read the same value: either keeps the same answer.
    if (!g_newWordDone.load(std::memory_order_acquire)) {
        g_newWordInstalled.store(ReadNewWordInstalled(), std::memory_order_relaxed);
        g_newWordDone.store(true, std::memory_order_release);
    }
    return g_newWordInstalled.load(std::memory_order_relaxed);
}

DocumentViewer ChooseDocumentViewer(const std::string& displayName, bool newWordInstalled) {
    for (const char* part : kWorkbookNameParts)
        if (displayName.find(part) != std::string::npos) return DocumentViewer::Current;
    return newWordInstalled ? DocumentViewer::Current : DocumentViewer::Older;
}

void SetViewerStarter(ViewerStarter starter) { g_starter = std::move(starter); }

std::string OfficeMimeType(const std::string& displayName) {
    const std::string ending = LowerEnding(displayName);
    if (ending == ".doc") return "application/msword";
    if (ending == ".xls") return "application/vnd.ms-excel";
    if (ending == ".docx") return "application/vnd.openxmlformats-officedocument.wordprocessingml.document";
    if (ending == ".xlsx") return "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet";
    return {};
}

bool OpenInDocumentViewer(const std::string& tempPath, const std::string& displayName) {
    std::string mime = OfficeMimeType(displayName);
    std::string ending = LowerEnding(displayName);
    if (mime.empty()) {
        // A found Word or Excel document under another name still opens as what it is.
        const OfficeKind kind = OldOfficeDocumentKind(tempPath);
        if (kind == OfficeKind::None) return false;
        ending = kind == OfficeKind::Word ? ".doc" : ".xls";
        mime = OfficeMimeType(ending);
    }
    const std::string copy = NewPreviewTempName(ending);
    if (copy.empty()) return false;
    std::error_code ec;
    std::filesystem::copy_file(tempPath, copy, std::filesystem::copy_options::overwrite_existing, ec);
    if (ec) {
        RemovePreviewTemp(copy);
        return false;
    }
    OpenerCommand command = DesktopOpenerCommand(copy);
    command.viewer = ChooseDocumentViewer(displayName, IsNewWordInstalled());
    WriteLog("[%s:%d] %s viewer for %s\r\n", "FileSelCtrl::OpenInDocumentViewer", __LINE__,
             command.viewer == DocumentViewer::Current ? "current" : "older", mime.c_str());
    const bool started = g_starter ? g_starter(command, mime) : DesktopStarter(command, mime);
    if (!started) RemovePreviewTemp(copy);
    return started;
}

// ---- CCopyLimitedRichEditCtrl

CCopyLimitedRichEditCtrl::CCopyLimitedRichEditCtrl(QWidget* parent) : QTextEdit(parent) {
    setReadOnly(true);
    setTextInteractionFlags(Qt::NoTextInteraction);
    setContextMenuPolicy(Qt::NoContextMenu);
}

void CCopyLimitedRichEditCtrl::keyPressEvent(QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)) return event->accept();
    QTextEdit::keyPressEvent(event);
}

void CCopyLimitedRichEditCtrl::keyReleaseEvent(QKeyEvent* event) {
    if (event->modifiers() & (Qt::ControlModifier | Qt::ShiftModifier)) return event->accept();
    QTextEdit::keyReleaseEvent(event);
}

void CCopyLimitedRichEditCtrl::mousePressEvent(QMouseEvent* event) { event->accept(); }
void CCopyLimitedRichEditCtrl::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }
void CCopyLimitedRichEditCtrl::contextMenuEvent(QContextMenuEvent* event) { event->accept(); }
// Nothing of the text ever reaches the clipboard or a drag.
QMimeData* CCopyLimitedRichEditCtrl::createMimeDataFromSelection() const { return new QMimeData; }

// ---- CRtfPreviewerDlg

CRtfPreviewerDlg::CRtfPreviewerDlg(QWidget* parent) : QDialog(parent), m_edit(new CCopyLimitedRichEditCtrl(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_edit);
    resize(640, 480);
}

bool CRtfPreviewerDlg::Load(const std::string& path, const std::string& title) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) return false;
    const QByteArray bytes = file.readAll();
    RtfToDocument(bytes.toStdString(), *m_edit->document());
    m_edit->moveCursor(QTextCursor::Start);
    setWindowTitle(QString::fromStdString(title));
    return true;
}

}  // namespace FileSelCtrl
