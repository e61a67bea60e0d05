#pragma once
// Searching the found files by name: the dialog in which the user types the name (the program's
// shell provides it, a skinned window of its own) and the thread the search runs on. The hits
// reach the search list through the node manager's queue, so no UI object is touched off the
// UI thread.
#include <functional>
#include <string>
#include <thread>

class QWidget;

namespace FileSelCtrl {

// The dialog's result in every case.
constexpr int kSearchDlgResult = 2;
// The edit takes at most this many characters.
constexpr int kSearchTextLimit = 29;

// Receives the text when the user presses Search.
using SearchHandler = std::function<void(const std::string&)>;
// Runs the search dialog modally over parent.
using SearchDialogFunction = std::function<void(QWidget* parent, const SearchHandler& search)>;
void SetSearchDialog(SearchDialogFunction dialog);
// False when no dialog was set (the search command then does nothing).
bool RunSearchDialog(QWidget* parent, const SearchHandler& search);

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
