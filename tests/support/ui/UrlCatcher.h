#pragma once
// Takes the addresses of a scheme ("https") that the program opens with the desktop's "open",
// instead of a browser, for as long as it lives.
#include <QObject>
#include <QUrl>
#include <string>
#include <vector>

namespace uiwait {

class UrlCatcher : public QObject {
    Q_OBJECT
public:
    explicit UrlCatcher(const QString& scheme);
    ~UrlCatcher() override;
    std::vector<std::string> opened;
public slots:
    void Open(const QUrl& url) { opened.push_back(url.toString().toStdString()); }

private:
    QString scheme_;
};

}  // namespace uiwait
