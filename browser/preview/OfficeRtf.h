#pragma once
// Two kinds of recovered files that are not shown in the preview dialog: old Word and Excel
// documents go to the desktop's own document viewer, rich text is shown formatted in a small
// dialog that lets the user read but not copy.
#include <QDialog>
#include <QStringList>
#include <QTextEdit>
#include <functional>
#include <string>
#include <vector>

#include "platform/Types.h"

class QTextDocument;

namespace FileSelCtrl {

enum class OfficeKind { None, Word, Workbook };

// The streams of a compound (structured-storage) file, by name.
struct CompoundStorage {
    std::vector<std::string> streams;
};
// Reads the directory of the compound file at path (or in bytes); false when it is none.
bool IsCompoundFile(const std::string& path, CompoundStorage& storage);
bool ReadCompoundStorage(const std::vector<u8>& bytes, CompoundStorage& storage);
// A "WordDocument" stream; a "Book" or "Workbook" stream (any case).
bool HasWordStream(const CompoundStorage& storage);
bool HasWorkbookStream(const CompoundStorage& storage);

// The kind of an old-format document: a compound file holding a "WordDocument" stream, or a
// "Book" or "Workbook" stream. Every offset and chain read from the file is checked.
OfficeKind OldOfficeDocumentKind(const std::string& path);
OfficeKind OldOfficeDocumentKind(const std::vector<u8>& bytes);

// Begins with "{\rtf" (any case) and its last byte other than CR, LF and NUL is '}'.
bool IsRtfFile(const std::string& path);

// Rich text into a document: paragraphs, bold, italic, underline, sizes, colours, escaped and
// Unicode characters; pictures, fonts and other destinations are skipped. Nesting is bounded.
void RtfToDocument(const std::string& rtf, QTextDocument& document);

// The two document viewers: the current one reads the old and the new formats; the older one
// is chosen only for a document that names no workbook while no Word of version 8 or later is
// registered. The desktop's opener stands in for both here, told which was chosen.
enum class DocumentViewer { Current, Older };

// Whether the registry names a Word of version 8 or later (the leading number of the default
// value of its class's Version key). Read once; later calls answer as the first did.
bool IsNewWordInstalled();
// The registry's answer, read now.
bool ReadNewWordInstalled();
// The viewer for a document shown under displayName: the current one for a name holding
// ".XLSX", ".xlsx", ".xls" or ".XLS" (exactly so cased) or when a new Word is installed.
DocumentViewer ChooseDocumentViewer(const std::string& displayName, bool newWordInstalled);

// What starts the desktop's opener: the program and its arguments, the file one argument of its
// own whatever its name holds, and the viewer it stands in for.
struct OpenerCommand {
    QString program;
    QStringList arguments;
    DocumentViewer viewer = DocumentViewer::Current;
};
OpenerCommand DesktopOpenerCommand(const std::string& path);

// Starts the desktop's viewer on a copy of tempPath named with the display name's ending; the
// copy stays until the program ends, as the viewer reads it after this returns. False, with
// nothing started, when no viewer is installed for that kind of document.
bool OpenInDocumentViewer(const std::string& tempPath, const std::string& displayName);

// Tests replace how a viewer is looked for and started; nullptr puts the desktop's back.
using ViewerStarter = std::function<bool(const OpenerCommand& command, const std::string& mimeType)>;
void SetViewerStarter(ViewerStarter starter);

// The mime type the ending of a name stands for, among the office kinds; empty otherwise.
std::string OfficeMimeType(const std::string& displayName);

// A rich edit that can be read and scrolled but not selected or copied.
class CCopyLimitedRichEditCtrl : public QTextEdit {
    Q_OBJECT
public:
    explicit CCopyLimitedRichEditCtrl(QWidget* parent = nullptr);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    QMimeData* createMimeDataFromSelection() const override;
};

class CRtfPreviewerDlg : public QDialog {
    Q_OBJECT
public:
    explicit CRtfPreviewerDlg(QWidget* parent = nullptr);
    // Loads the file into the view; false when it cannot be read.
    bool Load(const std::string& path, const std::string& title);
    CCopyLimitedRichEditCtrl* Edit() const { return m_edit; }

private:
    CCopyLimitedRichEditCtrl* m_edit;
};

}  // namespace FileSelCtrl
