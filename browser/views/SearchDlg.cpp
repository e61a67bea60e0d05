#include "browser/views/SearchDlg.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "browser/model/BrowserSkin.h"
#include "browser/model/NodeManager.h"
#include "browser/views/Icons.h"

namespace FileSelCtrl {

namespace {
constexpr int kEditWidth = 350;
constexpr int kTipPoints = 10;
}  // namespace

SearchDlg::SearchDlg(QWidget* parent, std::function<void(const std::string&)> search) : QDialog(parent), m_handler(std::move(search)) {
    const BrowserSkin& s = Skin();
    setModal(true);
    auto* tip = new QLabel(QString::fromStdString(s.searchTextTip), this);
    QFont bold = tip->font();
    bold.setPointSize(kTipPoints);
    bold.setBold(true);
    tip->setFont(bold);
    m_edit = new QLineEdit(this);
    m_edit->setMaxLength(kSearchTextLimit);
    m_edit->setMinimumWidth(kEditWidth);
    m_search = new QPushButton(QString::fromStdString(s.searchButton), this);
    m_cancel = new QPushButton(QString::fromStdString(s.searchCancel), this);
    m_search->setEnabled(false);
    m_search->setDefault(true);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_search);
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tip);
    layout->addWidget(m_edit);
    layout->addLayout(buttons);
    connect(m_edit, &QLineEdit::textChanged, this, [this](const QString& text) { m_search->setEnabled(!text.isEmpty()); });
    connect(m_search, &QPushButton::clicked, this, &SearchDlg::OnSearch);
    connect(m_cancel, &QPushButton::clicked, this, [this] { done(kSearchDlgResult); });
}

void SearchDlg::OnSearch() {
    const std::string text = m_edit->text().toStdString();
    if (text.empty()) return;
    m_edit->setEnabled(false);
    if (m_handler) m_handler(text);
    done(kSearchDlgResult);
}

void CSearchRunner::Start(const std::string& text) {
    Wait();
    m_thread = std::thread([text] { CFileVirtualNodeManager::Instance().Search(text); });
}

void CSearchRunner::Wait() {
    if (m_thread.joinable()) m_thread.join();
}

CSearchRunner& SearchRunner() {
    static CSearchRunner runner;
    return runner;
}

}  // namespace FileSelCtrl
