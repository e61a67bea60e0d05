#pragma once
// The small modal dialog in which the user types the name to search the found files for. The
// search itself runs on a thread of its own (CSearchRunner); its hits reach the search list
// through the node manager's queue, so no UI object is touched off the UI thread.
#include <QDialog>
#include <functional>
#include <string>
#include <thread>

class QLineEdit;
class QPushButton;

namespace FileSelCtrl {

// The dialog's result in every case.
constexpr int kSearchDlgResult = 2;
// The edit takes at most this many characters.
constexpr int kSearchTextLimit = 29;

class SearchDlg : public QDialog {
    Q_OBJECT
public:
    // search receives the text when the user presses Search.
    SearchDlg(QWidget* parent, std::function<void(const std::string&)> search);
    QLineEdit* Edit() const { return m_edit; }
    QPushButton* SearchButton() const { return m_search; }
    QPushButton* CancelButton() const { return m_cancel; }

private:
    void OnSearch();

    std::function<void(const std::string&)> m_handler;
    QLineEdit* m_edit;
    QPushButton* m_search;
    QPushButton* m_cancel;
};

// Runs one search at a time on its own thread; a new search waits for the previous one.
class CSearchRunner {
public:
    CSearchRunner() = default;
    ~CSearchRunner() { Wait(); }
    CSearchRunner(const CSearchRunner&) = delete;
    CSearchRunner& operator=(const CSearchRunner&) = delete;
    void Start(const std::string& text);
    void Wait();

private:
    std::thread m_thread;
};

// The one runner of the browser (UI thread).
CSearchRunner& SearchRunner();

}  // namespace FileSelCtrl
