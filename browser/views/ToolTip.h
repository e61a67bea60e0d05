#pragma once
// The browser's own tip: a semi-transparent top-most pop-up that grows from its centre when it
// opens and shrinks when it closes. Its owner's mouse events drive it. In immediate mode it shows
// its text at the first move over the owner; in hover mode it asks the owner, after the mouse
// rested 600 ms, for the text of what lies under it.
#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace FileSelCtrl {

enum class TipMode { Hover = 0, Immediate = 1 };

constexpr int kTipHoverMs = 600;
constexpr int kTipAnimationMs = 100;

// Where a tip of the given size opens for the cursor, kept on the screen.
QPoint TipPosition(QPoint cursor, QSize tip, QSize screen);

class CFileSelToolTip : public QWidget {
    Q_OBJECT
public:
    CFileSelToolTip();
    ~CFileSelToolTip() override;

    // Watches the owner's mouse; false without an owner.
    bool Create(QWidget* owner, TipMode mode, const QString& text);
    // Shows the text for the owner's area (owner coordinates) at the cursor.
    void Show(const QString& text, const QRect& trigger);
    void Hide();
    void SetText(const QString& text) { m_text = text; }
    QString Text() const { return m_text; }
    bool IsShown() const { return isVisible() && !m_closing; }

    // Hover mode: asked for the text and area under a point (owner coordinates); an empty
    // text shows nothing.
    std::function<bool(QPoint, QString&, QRect&)> textAt;
    // Hover mode: asked whether a move outside the shown area keeps the tip.
    std::function<bool(QPoint)> keepOnMove;
    // Hover mode over cells whose drawing cut their text: cutAt names the whole text and the
    // cell's area under a point; a move onto another cut cell shows that one's.
    void FollowCutCells(std::function<bool(QPoint, QString&, QRect&)> cutAt);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void OnHover();
    void Animate(bool opening);

    QPointer<QWidget> m_owner;
    TipMode m_mode = TipMode::Hover;
    QString m_text;
    QRect m_trigger;
    QTimer m_hoverTimer;
    bool m_shownOnce = false;
    bool m_closing = false;
    QPoint m_lastMouse;
};

}  // namespace FileSelCtrl
