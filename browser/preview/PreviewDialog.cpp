#include "browser/preview/PreviewDialog.h"

#include "core/Strings.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTimer>
#include <algorithm>

#include "browser/model/BrowserConfig.h"
#include "browser/model/BrowserSkin.h"
#include "browser/preview/FileViews.h"
#include "browser/preview/ImageView.h"
#include "browser/preview/PreviewViewer.h"
#include "browser/views/Icons.h"
#include "browser/views/PreviewEntry.h"
#include "engine/RecoveryGraph.h"
#include "platform/ui/ButtonPlus.h"
#include "platform/ui/ButtonResources.h"
#include "platform/ui/Dc.h"
#include "platform/ui/MsBtn.h"

namespace FileSelCtrl {

namespace {
constexpr QRgb kTabBackground = 0xFFDEDEDE;  // RGB(222, 222, 222)
constexpr QRgb kTabBand = 0xFFF6F6F6;        // RGB(246, 246, 246)
constexpr QRgb kTabSelectedText = 0xFF1A1A1A;
constexpr QRgb kTabOtherText = 0xFF434343;
constexpr int kTabBandHeight = 30;
constexpr int kTabTextInset = 2;
constexpr int kTabTextLeftOfMiddle = 10;
constexpr int kTabTextAboveMiddle = 3;
constexpr int kTabFontHeight = 14;
constexpr int kTabFontWeight = 400;
constexpr QRgb kWarningBackground = 0xFFF9E2B8;  // COLORREF 0xB8E2F9
constexpr int kWarningPicture = 24;
constexpr int kWarningButton = 18;
constexpr int kRestoredWidth = 670;
constexpr int kRestoredHeight = 470;
constexpr int kMargin = 10;
constexpr int kTabInset = 4;
constexpr int kTabTop = 2;
constexpr int kGapAboveButtons = 15;
// The room the tab strip gives up for the warning strip, and the strip's own height: it takes
// that room and most of the gap above the buttons (its close button, laid out from the strip's
// middle, needs 44 rows to stay inside it).
constexpr int kWarningRoom = 40;
constexpr int kWarningStrip = 50;
constexpr int kScrollBarWidth = 17;
constexpr int kTabHeaderHeight = 27;
constexpr int kMinSizeForLayout = 200;
constexpr qint64 kRefreshMs = 100;
constexpr int kPictureButtonImage = 24;
constexpr int kPictureButtonWidth = 32;
constexpr int kPictureButtonHeight = 26;
constexpr int kLanguageJapanese = 1;
constexpr int kLanguageGerman = 2;
// Normal, hover, pressed and disabled pictures of the bitmap buttons; German words are longer
// and have pictures of their own.
constexpr int kRecoveryBitmaps[4] = {350, 349, 351, 348};
constexpr int kCloseBitmaps[4] = {200, 199, 201, 198};
constexpr int kGermanRecoveryBitmaps[4] = {385, 384, 386, 383};
constexpr int kGermanCloseBitmaps[4] = {204, 203, 205, 202};
// Without the program's pictures a bitmap button is sized to its text.
constexpr QSize kPlainButton(88, 28);
constexpr int kPlainButtonPadding = 16;

QString Text(const std::string& s) { return QString::fromStdString(s); }

QSize ButtonSize(const CButtonPlus* button) {
    if (!button->NormalSize().isEmpty()) return button->NormalSize();
    const int text = button->CaptionWidth() + kPlainButtonPadding;
    return QSize(std::max(kPlainButton.width(), text), kPlainButton.height());
}
}  // namespace

// ---- CXPTabCtrl

// Where a tab's text starts: 10 pixels left of the middle of the tab's inner width, and a little
// above the middle of its height.
QRect CXPTabCtrl::TabTextRect(const QRect& tab) {
    const int right = tab.right() + 1, bottom = tab.bottom() + 1;
    const int x = tab.left() + kTabTextInset + (right - (tab.left() + kTabTextInset)) / 2 - kTabTextLeftOfMiddle;
    const int y = (bottom + kTabTextInset - (tab.top() + 1)) / 2 - kTabTextAboveMiddle;
    return QRect(x, y, std::max(0, right - x), std::max(0, bottom - y));
}

CXPTabCtrl::CXPTabCtrl(QWidget* parent) : QTabBar(parent) {
    setExpanding(false);
    setDrawBase(false);
    // The interface's face at the tabs' own size; the selected tab draws a heavier copy.
    QFont tabs = ui::MakeFont(ui::InterfaceFontFace(CFileSelCtrlConfig::Instance().GetLanguage()), kTabFontHeight,
                              kTabFontWeight, false);
    tabs.setFixedPitch(false);
    setFont(tabs);
}

void CXPTabCtrl::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor::fromRgb(kTabBackground));
    p.fillRect(QRect(0, 0, width(), std::min(height(), kTabBandHeight)), QColor::fromRgb(kTabBand));
    if (count() == 0) return;
    // A tab is only its text: no frame, no fill, no picture.
    auto drawTab = [&](int i) {
        const QRect r = tabRect(i);
        const bool selected = i == currentIndex();
        if (selected) {
            // Japanese script reads badly in bold at this size.
            QFont chosen = font();
            chosen.setBold(CFileSelCtrlConfig::Instance().GetLanguage() != kLanguageJapanese);
            p.setFont(chosen);
        } else {
            p.setFont(font());
        }
        p.setPen(QColor::fromRgb(selected ? kTabSelectedText : kTabOtherText));
        p.drawText(TabTextRect(r), Qt::AlignLeft | Qt::AlignTop | Qt::TextDontClip, tabText(i));
    };
    for (int i = 0; i < count(); ++i)
        if (i != currentIndex()) drawTab(i);
    drawTab(currentIndex());
}

// ---- CWarningDialog

CWarningDialog::CWarningDialog(QWidget* parent)
    : QWidget(parent), m_picture(new QLabel(this)), m_text(new QLabel(this)), m_close(new CMsBtn(this, kCloseButton)) {
    // The program's own picture; without the program's bitmaps the strip shows no picture.
    if (const QImage* picture = ui::ButtonBitmap(kPictureBitmap)) m_picture->setPixmap(QPixmap::fromImage(*picture));
    m_picture->setAlignment(Qt::AlignCenter);
    m_text->setText(ConfiguredText());
    // The bitmap holds the button's four looks side by side; without it the button keeps the
    // size it is made with and draws only its colour.
    m_closeFrame = QSize(kWarningButton, kWarningButton);
    if (const QImage* frames = ui::ButtonBitmap(kCloseBitmap)) {
        const int w = frames->width() / kCloseFrames, h = frames->height();
        m_closeFrame = QSize(w, h);
        m_close->SetSkin(ui::MakeRect(0, 0, w, h), ui::MakeRect(w, 0, 2 * w, h), ui::MakeRect(2 * w, 0, 3 * w, h),
                         ui::MakeRect(3 * w, 0, 4 * w, h));
    }
    const COLORREF strip = ui::RefFromColor(QColor::fromRgb(kWarningBackground));
    m_close->SetBkColors(strip, strip, strip, strip);
    m_close->resize(kWarningButton, kWarningButton);
    connect(m_close, &QAbstractButton::clicked, this, [this] {
        emit confirmed();
        close();
    });
}

QString CWarningDialog::ConfiguredText() { return PreviewWndText("UncompletedWarning", QString()); }

QString CWarningDialog::Text() const { return m_text->text(); }

QPixmap CWarningDialog::Picture() const { return m_picture->pixmap(); }

void CWarningDialog::Reposition(const QRect& r) {
    // The strip takes the rectangle; its controls are laid out in the strip's own coordinates:
    // the picture and the text 8 pixels from the top, the button a little above the middle.
    constexpr int kPictureLeft = 20, kPictureExtraWidth = 5, kTop = 8, kTextAfterPicture = 30, kTextBeforeButton = 50;
    constexpr int kButtonAboveHalf = 8, kButtonBelowHalf = 5;
    setGeometry(r);
    const QSize picture = m_picture->pixmap().isNull() ? QSize(kWarningPicture, kWarningPicture) : m_picture->pixmap().size();
    const int pw = picture.width(), ph = picture.height();
    const int bw = m_closeFrame.width(), bh = m_closeFrame.height();
    const int right = r.width(), half = r.height() / 2;
    m_picture->setGeometry(kPictureLeft, kTop, pw + kPictureExtraWidth, ph);
    const int textLeft = pw + kTextAfterPicture;
    m_text->setGeometry(textLeft, kTop, std::max(0, right - bw - kTextBeforeButton - textLeft), ph);
    const int buttonLeft = right - bw - kMargin, buttonTop = half - bh / 2 - kButtonAboveHalf;
    m_close->setGeometry(buttonLeft, buttonTop, right - kMargin - buttonLeft, std::max(0, half + kButtonBelowHalf - buttonTop));
}

void CWarningDialog::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), QColor::fromRgb(kWarningBackground));
}

// ---- CFilePreViewDlg

CFilePreViewDlg::CFilePreViewDlg(QWidget* parent, HeldFile file, const std::string& displayName,
                                 const std::string& tempPath, PreviewMode mode, bool warnPaused)
    : QDialog(parent), m_file(std::move(file)), m_tempPath(tempPath), m_displayName(displayName), m_mode(mode) {
    const BrowserSkin& s = Skin();
    setWindowTitle(Text(displayName) + Text(s.filePreview));
    m_tabs = new CXPTabCtrl(this);
    m_tabs->addTab(Text(s.imgPreview));
    m_tabs->addTab(Text(s.textPreview));
    m_tabs->addTab(Text(s.hexPreview));
    m_text = new CTextFilePreViewEdit(this);
    m_hex = new CHexFilePreViewEdit(this);
    m_scroll = new QScrollBar(Qt::Vertical, this);
    m_image = new CImageWindow(this);
    m_image->SetMessage(Text(s.imageFormatWarning));
    m_pictureStrip = new QWidget(this);
    m_bestFit = new QPushButton(QStringLiteral("Best Fit"), m_pictureStrip);
    m_actualSize = new QPushButton(QStringLiteral("Actual Size"), m_pictureStrip);
    for (auto [button, strip] : {std::pair<QPushButton*, const char*>{m_bestFit, "bestfit.bmp"}, {m_actualSize, "actualsize.bmp"}}) {
        button->setToolTip(button->text());
        const QImage& images = SkinImage(strip);
        if (images.width() < kPictureButtonImage * 4) continue;
        QIcon icon;
        icon.addPixmap(StripImage(images, 0, kPictureButtonImage, 0, false), QIcon::Normal);
        icon.addPixmap(StripImage(images, 1, kPictureButtonImage, 0, false), QIcon::Active);
        icon.addPixmap(StripImage(images, 3, kPictureButtonImage, 0, false), QIcon::Disabled);
        button->setIcon(icon);
        button->setIconSize(QSize(kPictureButtonImage, kPictureButtonImage));
        button->setText(QString());
        button->setFlat(true);
    }
    m_bestFit->setEnabled(false);
    // The bitmap buttons take the size of their normal picture.
    const bool german = CFileSelCtrlConfig::Instance().GetLanguage() == kLanguageGerman;
    const int* recovery = german ? kGermanRecoveryBitmaps : kRecoveryBitmaps;
    const int* close = german ? kGermanCloseBitmaps : kCloseBitmaps;
    m_recovery = new CButtonPlus(this, IDOK, recovery[0], recovery[1], recovery[2], recovery[3]);
    m_close = new CButtonPlus(this, IDCANCEL, close[0], close[1], close[2], close[3]);
    m_recovery->SetWindowText(s.butRecovery);
    m_close->SetWindowText(s.butClose);
    // The program's language file names the two buttons as its other dialogs do; the skin's
    // captions stay where it has no text for them.
    for (const auto& [button, key] : {std::pair<CButtonPlus*, const char*>{m_recovery, "Recovery"}, {m_close, "Cancel"}}) {
        const std::string text = GetLocalizedString(key);
        if (!text.empty()) button->SetWindowText(text);
    }

    connect(m_bestFit, &QPushButton::clicked, this, [this] {
        m_bestFit->setEnabled(false);
        m_actualSize->setEnabled(true);
        m_image->SetFitMode(true);
        m_image->setFocus();
    });
    connect(m_actualSize, &QPushButton::clicked, this, [this] {
        m_bestFit->setEnabled(true);
        m_actualSize->setEnabled(false);
        m_image->SetFitMode(false);
        m_image->setFocus();
    });
    connect(m_recovery, &QAbstractButton::clicked, this, &CFilePreViewDlg::accept);
    connect(m_close, &QAbstractButton::clicked, this, &CFilePreViewDlg::reject);
    connect(m_tabs, &QTabBar::currentChanged, this, [this](int) { ShowPage(CurrentPage()); });
    connect(m_scroll, &QScrollBar::valueChanged, this, [this](int) { RefreshPage(false); });
    for (CFilePreViewEdit* edit : {static_cast<CFilePreViewEdit*>(m_text), static_cast<CFilePreViewEdit*>(m_hex)}) {
        edit->scrollBy = [this](int lines) { ScrollTo(m_scroll->value() + lines); };
        edit->keyPressed = [this](int key) { OnScrollKey(key); };
    }

    if (warnPaused && mode != PreviewMode::NotPicture) {
        RecoveryGraph::Instance().SetSkipTip(1);
        m_warningShown = true;
        m_warning = new CWarningDialog(this);
        connect(m_warning, &CWarningDialog::confirmed, this, [this] {
            m_warningShown = false;
            resize(width(), height() + 1);
            update();
        });
    }
    resize(kRestoredWidth, kRestoredHeight);
    LoadViews();
}

CFilePreViewDlg::~CFilePreViewDlg() = default;

QAbstractButton* CFilePreViewDlg::RecoveryButton() const { return m_recovery; }

QAbstractButton* CFilePreViewDlg::CloseButton() const { return m_close; }

void CFilePreViewDlg::LoadViews() {
    m_text->Open(m_tempPath);
    m_hex->Open(m_tempPath);
    if (m_mode == PreviewMode::Picture) m_image->LoadImage(m_tempPath);
    const QSignalBlocker block(m_tabs);
    if (m_image->HasPicture() || m_mode == PreviewMode::Picture) {
        m_viewKind = 0;
        m_tabs->removeTab(1);
    } else {
        m_viewKind = 1;
        m_tabs->removeTab(0);
    }
    m_tabs->setCurrentIndex(0);
    m_scroll->setRange(0, static_cast<int>(m_text->LineCount()));
    m_scroll->setValue(0);
    ShowPage(CurrentPage());
}

CFilePreViewDlg::Page CFilePreViewDlg::CurrentPage() const {
    if (m_tabs->currentIndex() == 1) return Page::Hex;
    return m_viewKind == 0 ? Page::Picture : Page::Text;
}

void CFilePreViewDlg::SelectTab(int index) { m_tabs->setCurrentIndex(index); }

CFilePreViewEdit* CFilePreViewDlg::ActiveEdit() const {
    if (m_shown == Page::Text) return m_text;
    if (m_shown == Page::Hex) return m_hex;
    return nullptr;
}

void CFilePreViewDlg::ShowPage(Page page) {
    const Page before = m_shown;
    const int beforeLine = m_scroll->value();
    m_shown = page;
    m_text->hide();
    m_hex->hide();
    m_scroll->hide();
    m_image->hide();
    m_pictureStrip->hide();
    if (page == Page::Picture) {
        m_image->show();
        m_pictureStrip->show();
        m_image->viewport()->update();
        return;
    }
    CFilePreViewEdit* edit = ActiveEdit();
    // The other view opens at the line that holds the same place in the file.
    if (before != page && (before == Page::Text || before == Page::Hex)) {
        CFilePreViewEdit* from = before == Page::Text ? static_cast<CFilePreViewEdit*>(m_text) : m_hex;
        const QSignalBlocker block(m_scroll);
        m_scroll->setRange(0, static_cast<int>(edit->LineCount()));
        m_scroll->setValue(static_cast<int>(edit->OffsetToLine(from->LineToOffset(static_cast<u32>(beforeLine)))));
    } else if (before == Page::Picture) {
        const QSignalBlocker block(m_scroll);
        m_scroll->setRange(0, static_cast<int>(edit->LineCount()));
    }
    edit->show();
    m_scroll->show();
    RefreshPage(true);
}

void CFilePreViewDlg::RefreshPage(bool now) {
    CFilePreViewEdit* edit = ActiveEdit();
    if (!edit) {
        if (m_shown == Page::Picture) m_image->viewport()->update();
        return;
    }
    if (!now && m_lastRefresh.isValid() && m_lastRefresh.elapsed() < kRefreshMs) {
        // Held back: the latest position is shown when the time is up.
        if (!m_refreshPending) {
            m_refreshPending = true;
            QTimer::singleShot(kRefreshMs - m_lastRefresh.elapsed(), this, [this] {
                m_refreshPending = false;
                RefreshPage(true);
            });
        }
        return;
    }
    m_lastRefresh.start();
    edit->UpdatePageSize();
    edit->ShowLines(static_cast<u32>(m_scroll->value()));
    m_scroll->setPageStep(static_cast<int>(edit->PageLines()));
    m_scroll->setEnabled(edit->LineCount() > edit->PageLines());
}

void CFilePreViewDlg::ScrollTo(int line) { m_scroll->setValue(std::clamp(line, m_scroll->minimum(), m_scroll->maximum())); }

void CFilePreViewDlg::OnScrollKey(int key) {
    const int page = m_scroll->pageStep();
    switch (key) {
        case Qt::Key_Up: ScrollTo(m_scroll->value() - 1); break;
        case Qt::Key_Down: ScrollTo(m_scroll->value() + 1); break;
        case Qt::Key_PageUp: ScrollTo(m_scroll->value() - page); break;
        case Qt::Key_PageDown: ScrollTo(m_scroll->value() + page); break;
        case Qt::Key_Home: ScrollTo(m_scroll->minimum()); break;
        case Qt::Key_End: ScrollTo(m_scroll->maximum()); break;
        default: break;
    }
}

void CFilePreViewDlg::SetMaximised(bool maximise) {
    if (maximise) {
        const QRect area = screen() ? screen()->availableGeometry() : QRect(0, 0, kRestoredWidth, kRestoredHeight);
        resize(area.size());
    } else {
        resize(kRestoredWidth, kRestoredHeight);
    }
    if (screen()) move(screen()->availableGeometry().center() - rect().center());
}

void CFilePreViewDlg::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (width() < kMinSizeForLayout || height() < kMinSizeForLayout) return;
    // Close in the corner, Recovery left of it, each as large as its picture.
    const QSize close = ButtonSize(m_close), recovery = ButtonSize(m_recovery);
    const int w = width(), h = height();
    const int buttonHeight = std::max(close.height(), recovery.height());
    m_close->setGeometry(w - kMargin - close.width(), h - kMargin - close.height(), close.width(), close.height());
    m_recovery->setGeometry(w - close.width() - 2 * kMargin - recovery.width(), h - kMargin - recovery.height(), recovery.width(),
                            recovery.height());
    int tabBottom = h - kGapAboveButtons - buttonHeight - kMargin;
    if (m_warningShown && m_warning) {
        tabBottom -= kWarningRoom;
        m_warning->Reposition(QRect(0, tabBottom, w, kWarningStrip));
        m_warning->show();
    }
    const QRect strip(kTabInset, kTabTop, w - 2 * kTabInset, tabBottom - kTabTop);
    m_tabs->setGeometry(strip.left(), strip.top(), strip.width(), kTabHeaderHeight);
    m_tabs->setStyleSheet(QStringLiteral("QTabBar::tab { width: %1px; height: %2px; }").arg((w - 18) / 4).arg(kTabHeaderHeight));
    const QRect page(strip.left() + 1, strip.top() + kTabHeaderHeight + 1, strip.width() - 2,
                     strip.height() - kTabHeaderHeight - 2);
    m_text->setGeometry(page.left(), page.top(), page.width() - kScrollBarWidth, page.height());
    m_hex->setGeometry(m_text->geometry());
    m_scroll->setGeometry(page.right() - kScrollBarWidth + 1, page.top(), kScrollBarWidth, page.height());
    m_image->setGeometry(page.left(), page.top(), page.width(), page.height() - kPictureButtonHeight - 4);
    m_pictureStrip->setGeometry(page.left(), page.bottom() - kPictureButtonHeight - 2, page.width(), kPictureButtonHeight + 2);
    const int left = (page.width() - 2 * kPictureButtonWidth - kMargin) / 2;
    m_bestFit->setGeometry(left, 1, kPictureButtonWidth, kPictureButtonHeight);
    m_actualSize->setGeometry(left + kPictureButtonWidth + kMargin, 1, kPictureButtonWidth, kPictureButtonHeight);
    RefreshPage(false);
}

// Esc and Enter neither close the window nor recover: only the buttons do.
void CFilePreViewDlg::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Escape:
        case Qt::Key_Return:
        case Qt::Key_Enter: event->accept(); return;
        default: QDialog::keyPressEvent(event);
    }
}

void CFilePreViewDlg::accept() {
    QDialog::accept();
    if (recoverNode && m_file) recoverNode(m_file);
}

}  // namespace FileSelCtrl
